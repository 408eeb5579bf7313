// Runs one CreateCall or one UpdateCall (option 2) on the null adapter after
// a warm-up call, between the markers that bench/instructions.sh counts.
#include <cstring>

#include "null_adapter.h"
#include "quillet/calls.h"

namespace {

quillet::Ref<quillet::Dictionary> Details(bool update) {
  using quillet::Variant;
  auto d = quillet::MakeRef<quillet::Dictionary>();
  d->Add(u"COMPONENT", u"Desk");
  d->Add(u"SOLDTOBP", u"BP-1");
  d->Add(u"Q_TEXT", u"Printer jams on tray 2");
  d->Add(u"CALLNUMBER", u"SC000001");
  d->Add(u"OPTION", update ? u"2" : u"0");
  d->Add(u"SOLUTIONTEXT", std::u16string(5000, u'x'));
  d->Add(u"TIMESPENT", u"30");
  return d;
}

}  // namespace

void Run(quillet::_Calls* calls, bool update) {
  quillet::Variant error;
  auto details = Details(update);
  if (update) {
    calls->UpdateCall(details, error);
  } else {
    calls->CreateCall(details, error);
  }
}

// Kept out of line so that callgrind's --toggle-collect can find them; the
// caller's dictionary is built inside, as a caller would.
extern "C" __attribute__((noinline)) void MeasuredCreateCall(quillet::_Calls* calls) {
  Run(calls, false);
}
extern "C" __attribute__((noinline)) void MeasuredUpdateCall(quillet::_Calls* calls) {
  Run(calls, true);
}

int main(int argc, char** argv) {
  quillet::bench::RegisterNullAdapter();
  auto calls = quillet::NewCalls();
  bool update = argc > 1 && std::strcmp(argv[1], "update") == 0;
  // The warm-up fills the per-thread class table and the dispatch tables.
  Run(calls.Get(), update);
  (update ? MeasuredUpdateCall : MeasuredCreateCall)(calls.Get());
  return 0;
}
