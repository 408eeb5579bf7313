#include "support/call_details.h"

namespace quillet::testing {

const DetailTexts& CreateCallDetails() {
  static const DetailTexts details = {
      {u"COMPONENT", u"Desk"},        {u"Q_TEXT", u"Printer jams on tray 2"},
      {u"LINK", u"https://desk/q/1"}, {u"SOLDTOBP", u"BP-1"},
      {u"SITE", u"Harbour Road"},     {u"OBJECT", u"PRN-1"},
      {u"OBJECTNR", u"N-9"},          {u"CALLDESC", u"Paper jam"},
      {u"PROBLEM", u"JAM"},           {u"PRIORITY", u"2"},
      {u"BPNUMBER", u"BP-1"},         {u"CALLGROUP1", u"G1"},
      {u"CALLGROUP2", u"G2"},         {u"CALLERNAME", u"Ines Park"},
      {u"CONTACT", u"Bob"},           {u"ENGINEER", u"ENG-07"},
      {u"CALLCREATER", u"agent"},     {u"Q_ID", u"Q-1"},
      {u"TIMESPENT", u"30"},
  };
  return details;
}

DetailTexts UpdateCallDetails(int option, size_t text_length) {
  DetailTexts d = {{u"COMPONENT", u"Desk"},
                   {u"CALLNUMBER", u"SC000001"},
                   {u"ENGINEER", u"ENG-07"},
                   {u"ACTIONDONEBY", u"ENG-07"},
                   {u"OPTION", option == 2 ? u"2" : u"7"},
                   {u"PROBLEM", u"ROLLER"},
                   {u"SOLUTION", u"REPLACED"},
                   {u"ACTIVITY", u"ONSITE"},
                   {u"Q_ID", u"Q-1"},
                   {u"TIMESPENT", u"35"}};
  d.emplace_back(option == 2 ? u"SOLUTIONTEXT" : u"Q_TEXT",
                 std::u16string(text_length, u'x'));
  return d;
}

Ref<Dictionary> ToDictionary(const DetailTexts& details) {
  Ref<Dictionary> d = MakeRef<Dictionary>();
  for (const auto& [k, v] : details) d->Add(k, v);
  return d;
}

}  // namespace quillet::testing
