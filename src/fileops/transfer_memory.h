#pragma once
// Transfers encode and decode chunks of several MiB on worker threads. glibc gives each thread
// a heap of its own and keeps the chunks freed there resident for that thread's next use, so a
// process's memory grew by a few chunks for every thread that had touched one (about 80 MB
// above idle while moving one large file). With a single heap every thread reuses the same
// freed chunks. Call first thing in main(), before any thread starts.

namespace quorvale::fileops {

void shareHeapAcrossThreads();

}  // namespace quorvale::fileops
