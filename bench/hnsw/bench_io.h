// What the graph benches share: reading their binary inputs and timing the calling thread.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace korvane_bench {

// n values of T from f; a short file ends the bench.
template <class T>
std::vector<T> read_all(std::FILE* f, std::size_t n) {
  std::vector<T> v(n);
  if (std::fread(v.data(), sizeof(T), n, f) != n) {
    std::fprintf(stderr, "short read\n");
    std::exit(2);
  }
  return v;
}

// CPU time of this thread: the build and the queries run on it alone, and on a shared machine
// wall time mostly measures the neighbours.
inline double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

}  // namespace korvane_bench
