// The core store from many threads: the fair lock's order (readers and writers each wait only
// for those queued before them), its state in a forked child, and writers, readers and index
// builds running together, checked against a model of what each writer did. Run under
// ThreadSanitizer by scripts/sanitize.sh (KORVANE_CONCURRENCY_ROUNDS keeps that run short).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/fair_lock.h"
#include "korvane/korvane.h"
#include "store_fixture.h"

namespace korvane_core {
namespace {

void wait_until_waiting(FairLock& lock, std::uint64_t n) {
  while (lock.waiting() != n) std::this_thread::yield();
}

// The order in which threads got the lock.
struct Order {
  std::mutex mu;
  std::string seen;
  void add(char c) {
    std::lock_guard<std::mutex> guard(mu);
    seen += c;
  }
};

TEST(FairLock, ReaderWaitsOnlyForWritersQueuedBeforeIt) {
  FairLock lock;
  Order order;
  lock.lock();
  std::thread first_writer([&] {
    lock.lock();
    order.add('W');
    lock.unlock();
  });
  wait_until_waiting(lock, 1);
  std::thread reader([&] {
    lock.lock_shared();
    order.add('R');
    lock.unlock_shared();
  });
  wait_until_waiting(lock, 2);
  std::thread second_writer([&] {
    lock.lock();
    order.add('w');
    lock.unlock();
  });
  wait_until_waiting(lock, 3);
  EXPECT_FALSE(lock.try_lock_shared());
  lock.unlock();
  first_writer.join();
  reader.join();
  second_writer.join();
  EXPECT_EQ(order.seen, "WRw");
}

TEST(FairLock, WriterWaitsOnlyForCallersQueuedBeforeIt) {
  FairLock lock;
  Order order;
  lock.lock_shared();
  std::thread writer([&] {
    lock.lock();
    order.add('W');
    lock.unlock();
  });
  wait_until_waiting(lock, 1);
  // Readers keep coming while the first one reads; none may pass the waiting writer.
  EXPECT_FALSE(lock.try_lock_shared());
  std::vector<std::thread> readers;
  for (int i = 0; i < 3; ++i) {
    readers.emplace_back([&] {
      lock.lock_shared();
      order.add('R');
      lock.unlock_shared();
    });
    wait_until_waiting(lock, 2 + i);
  }
  lock.unlock_shared();
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(order.seen, "WRRR");
}

class CoreConcurrency : public korvane_test::StoreTest {};

std::vector<float> vec(std::size_t writer, std::size_t i) {
  return {static_cast<float>(writer + 1), static_cast<float>(i % 17), 1.0f, 0.5f};
}

TEST_F(CoreConcurrency, ForkedChildReadsWhileTheParentsThreadsHoldTheStore) {
  Korvane& store = Open(korvane_core::Metric::Cosine);
  ASSERT_TRUE(store.insert("a", {1.0f, 2.0f}, std::nullopt));
  std::atomic<int> stage{0};
  std::thread holder([&] {
    const Korvane::Hold held = store.hold(Korvane::Mode::Exclusive);
    stage = 1;
    while (stage != 2) std::this_thread::yield();
  });
  while (stage != 1) std::this_thread::yield();
  std::thread waiting_reader([&] { EXPECT_EQ(store.size(), 1u); });
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Alone here: neither the holder nor the waiting reader exists.
    const bool ok = store.size() == 1 && store.contains("a") && store.try_hold(Korvane::Mode::Exclusive);
    ::_exit(ok ? 0 : 1);
  }
  ASSERT_GT(pid, 0);
  int status = 0;
  // A child that hung would hang here; ctest's timeout reports it.
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  stage = 2;
  holder.join();
  waiting_reader.join();
}

TEST_F(CoreConcurrency, WritersReadersAndIndexBuildsAgreeWithAModel) {
  const char* env = std::getenv("KORVANE_CONCURRENCY_ROUNDS");
  const std::size_t rounds = env != nullptr ? std::strtoul(env, nullptr, 10) : 300;
  constexpr std::size_t kWriters = 3, kReaders = 3;
  Korvane& store = Open(korvane_core::Metric::Cosine);
  // Each writer stores pairs "t-i-a" and "t-i-b" in one batch and removes them in one batch,
  // so no reader may ever see one without the other.
  std::vector<std::set<std::size_t>> live(kWriters);
  std::atomic<std::size_t> writers_left{kWriters};
  std::atomic<std::size_t> torn{0}, failed{0}, reads{0};
  auto pair_id = [](std::size_t t, std::size_t i, char half) {
    return std::to_string(t) + "-" + std::to_string(i) + "-" + half;
  };
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(static_cast<unsigned>(t));
      for (std::size_t i = 0; i < rounds; ++i) {
        WriteBatch batch;
        if (!live[t].empty() && rng() % 3 == 0) {
          auto it = live[t].begin();
          std::advance(it, rng() % live[t].size());
          batch.remove(pair_id(t, *it, 'a'));
          batch.remove(pair_id(t, *it, 'b'));
          live[t].erase(it);
        } else {
          batch.insert(pair_id(t, i, 'a'), vec(t, i), std::nullopt);
          batch.insert(pair_id(t, i, 'b'), vec(t, i), std::nullopt);
          live[t].insert(i);
        }
        if (!store.write(std::move(batch))) ++failed;
        if (t == 0 && i % 50 == 25 && !store.enable_hnsw(HnswConfig{4, 4, 8, 16, 16, 0.7f})) ++failed;
      }
      --writers_left;
    });
  }
  for (std::size_t r = 0; r < kReaders; ++r) {
    threads.emplace_back([&, r] {
      std::mt19937 rng(static_cast<unsigned>(100 + r));
      while (writers_left > 0) {
        const std::size_t t = rng() % kWriters, i = rng() % std::max<std::size_t>(rounds, 1);
        {
          const Korvane::Hold held = store.hold(Korvane::Mode::Shared);
          if (store.contains(pair_id(t, i, 'a')) != store.contains(pair_id(t, i, 'b'))) ++torn;
          if (store.size() % 2 != 0) ++torn;
        }
        auto found = store.search(vec(t, i), 4);
        if (!found) ++failed;
        ++reads;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(torn.load(), 0u);
  EXPECT_EQ(failed.load(), 0u);
  EXPECT_GT(reads.load(), 0u);

  std::set<std::string> expected;
  for (std::size_t t = 0; t < kWriters; ++t) {
    for (std::size_t i : live[t]) {
      expected.insert(pair_id(t, i, 'a'));
      expected.insert(pair_id(t, i, 'b'));
    }
  }
  auto ids = [&](const Korvane& s) {
    std::set<std::string> out;
    for (const Record& rec : korvane_test::AllRecords(s)) out.insert(rec.id);
    return out;
  };
  EXPECT_EQ(ids(store), expected);
  EXPECT_EQ(ids(Open(korvane_core::Metric::Cosine)), expected);
}

TEST_F(CoreConcurrency, WritingInsideASharedHoldIsRefused) {
  Korvane& store = Open(korvane_core::Metric::Cosine);
  const Korvane::Hold held = store.hold(Korvane::Mode::Shared);
  EXPECT_EQ(store.size(), 0u);  // nested reads do not wait for themselves
  EXPECT_THROW(static_cast<void>(store.insert("a", {1.0f}, std::nullopt)), std::logic_error);
}

}  // namespace
}  // namespace korvane_core
