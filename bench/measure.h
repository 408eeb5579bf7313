// What the process has used, read from /proc: bytes handed to write(2),
// resident and peak resident size. Linux only; 0 where /proc is missing.
#pragma once

#include <cstdint>
#include <string>

namespace quillet::bench {

// Bytes this process has passed to write(2) and its kin so far (wchar).
uint64_t BytesWritten();
// The same of another process `pid` (a child that exited: read before it
// is reaped).
uint64_t BytesWrittenBy(int pid);
// Resident set now (VmRSS) and its peak (VmHWM), in bytes.
uint64_t ResidentBytes();
uint64_t PeakResidentBytes();
// Makes the peak the resident size now, so that a later peak is the peak of
// what ran since.
void ResetPeakResident();

// Bytes of a SQLite database's pages in use (page_count - freelist_count,
// times page_size), as a connection sees it with its WAL.
uint64_t DatabaseBytesInUse(const std::string& path);

}  // namespace quillet::bench
