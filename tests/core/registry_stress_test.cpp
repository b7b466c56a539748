// Stress of the registry's concurrency: one registry hammered by more threads than cores with every
// operation at once, tables growing under readers, and registries made on one thread and used and
// dropped on another. Run under ThreadSanitizer by the tsan job (scripts/runner); in the ordinary suite
// they check results and that nothing hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <latch>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quarks/quark_registry.hpp"
#include "registry/formulas_registry.hpp"
#include "watchdog.hpp"

namespace vellora {
namespace {

constexpr SipKey kKey{0x1234, 0x5678};

/// "<prefix><number>" or "<prefix><a>_<b>", appended piecewise (GCC 12 warns falsely on
/// `"literal" + std::to_string(...)`).
std::string label(std::string_view prefix, int a, std::optional<int> b = std::nullopt) {
  std::string text(prefix);
  text += std::to_string(a);
  if (b) {
    text += '_';
    text += std::to_string(*b);
  }
  return text;
}

ConstantRecord thread_record(const std::string& name, int thread, int serial) {
  ConstantRecord record = ConstantRecord::seed(name, thread * 100000.0 + serial, label("t", thread));
  if (serial % 3 == 0) record.uncertainty = serial * 0.5;
  if (serial % 2 == 0) {
    record.status = ConstantStatus::Pending;
    record.formula = label("f", serial);
    record.dependencies = {label("d", thread), label("e", serial)};
  }
  return record;
}

/// A record as one thread wrote it, whole: every field names the same thread and serial.
bool whole(const ConstantRecord& record, const std::string& key) {
  const int thread = static_cast<int>(record.value / 100000.0);
  const int serial = static_cast<int>(record.value - thread * 100000.0);
  ConstantRecord expected = thread_record(key, thread, serial);
  return record == expected;
}

struct StressShape {
  std::size_t shards;
  int threads;
  int rounds;
};

void PrintTo(const StressShape& s, std::ostream* os) { *os << s.shards << " shards, " << s.threads << " threads"; }

class SharedRegistryStress : public ::testing::TestWithParam<StressShape> {};

// Every thread inserts its own names and overwrites shared ones, reads its own writes back, reads
// the standard records, misses, lists and counts, all on one registry, released at once.
TEST_P(SharedRegistryStress, EveryOperationAtOnce) {
  const auto [shards, kThreads, kRounds] = GetParam();
  constexpr int kShared = 16;
  FormulasRegistry registry(kKey, shards);
  const FormulasRegistry standard = FormulasRegistry::seeded();
  for (const std::string& name : standard.names()) registry.insert(name, standard.get(name).value());
  const ConstantRecord phi = standard.get("phi").value();

  std::atomic<int> faults{0};
  auto fault = [&faults](bool bad) {
    if (bad) faults.fetch_add(1, std::memory_order_relaxed);
  };
  std::latch start(kThreads);
  {
    Watchdog watchdog(std::chrono::seconds(300));
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        std::size_t last_len = 0;
        start.arrive_and_wait();
        for (int i = 0; i < kRounds; ++i) {
          const std::string own = label("t", t, i);
          fault(registry.insert(own, thread_record(own, t, i)).has_value());
          const std::string shared = label("s", (i * 7 + t) % kShared);
          if (const auto previous = registry.insert(shared, thread_record(shared, t, i)))
            fault(!whole(*previous, shared));

          // Read-your-writes for an earlier own name, and a shared name someone wrote whole.
          const int earlier = (i * 31) % (i + 1);
          const std::string mine = label("t", t, earlier);
          const auto got = registry.get(mine);
          fault(!got.has_value() || *got != thread_record(mine, t, earlier));
          const auto other = registry.get(shared);
          fault(!other.has_value() || !whole(*other, shared));

          const auto seeded = registry.get("phi");
          fault(!seeded.has_value() || *seeded != phi);
          const std::string missing = label("missing_", t);
          const auto miss = registry.get(missing);
          fault(miss.has_value() || miss.error().subject() != missing);

          // Nothing is ever removed: the count a thread sees only grows and covers its own names.
          const std::size_t len = registry.len();
          fault(len < last_len || len < 17 + static_cast<std::size_t>(i) + 1);
          last_len = len;
          if (i % 32 == 0) {
            const std::vector<std::string> names = registry.names();
            const std::unordered_set<std::string> unique(names.begin(), names.end());
            fault(unique.size() != names.size());
            for (int j = 0; j <= i; ++j) fault(!unique.contains(label("t", t, j)));
          }
        }
      });
    }
  }
  EXPECT_EQ(faults.load(), 0);

  const std::size_t expected = 17 + static_cast<std::size_t>(kThreads * kRounds) + kShared;
  EXPECT_EQ(registry.len(), expected);
  const std::vector<std::string> names = registry.names();
  EXPECT_EQ(names.size(), expected);
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), expected);
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kRounds; ++i) {
      const std::string own = label("t", t, i);
      const auto got = registry.get(own);
      ASSERT_TRUE(got.has_value()) << own;
      ASSERT_EQ(*got, thread_record(own, t, i)) << own;
    }
  }
  for (const std::string& name : standard.names()) EXPECT_EQ(registry.get(name).value(), standard.get(name).value());
}

// One shard puts every operation on one lock (most waiting and waking); many shards spread them.
INSTANTIATE_TEST_SUITE_P(Shapes, SharedRegistryStress,
                         ::testing::Values(StressShape{1, 12, 300}, StressShape{64, 12, 300}),
                         [](const ::testing::TestParamInfo<StressShape>& info) {
                           return label("Shards", static_cast<int>(info.param.shards));
                         });

// A table moves its cells each time it grows; readers of names published earlier must keep
// finding them, whole, while one writer makes a single shard grow from its inline cells on.
TEST(RegistryGrowthStress, ReadersFindEveryPublishedNameWhileTheTableGrows) {
  constexpr int kNames = 2500;
  constexpr int kReaders = 4;
  FormulasRegistry registry(kKey, 1);
  std::atomic<int> published{0};
  std::atomic<int> faults{0};
  std::latch start(kReaders + 1);
  {
    Watchdog watchdog(std::chrono::seconds(300));
    std::vector<std::jthread> threads;
    threads.emplace_back([&] {
      start.arrive_and_wait();
      for (int i = 0; i < kNames; ++i) {
        const std::string name = label("g", i);
        registry.insert(name, thread_record(name, 0, i));
        published.store(i + 1, std::memory_order_release);
      }
    });
    for (int r = 0; r < kReaders; ++r) {
      threads.emplace_back([&, r] {
        start.arrive_and_wait();
        for (int probe = r;; probe += 7) {
          const int known = published.load(std::memory_order_acquire);
          if (known == 0) continue;
          const int i = probe % known;
          const std::string name = label("g", i);
          const auto got = registry.get(name);
          if (!got.has_value() || *got != thread_record(name, 0, i)) faults.fetch_add(1);
          if (static_cast<int>(registry.len()) < known) faults.fetch_add(1);
          if (known == kNames) break;
        }
      });
    }
  }
  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(registry.len(), static_cast<std::size_t>(kNames));
}

// Registries are made on one thread, then used and dropped on another; the standard table and the
// per-thread hash keys are set up by many threads at once.
TEST(RegistryLifetimeStress, MadeOnOneThreadUsedAndDroppedOnAnother) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 12;
  std::mutex mailbox_mutex;
  std::vector<std::optional<FormulasRegistry>> mailbox(kThreads);
  std::vector<std::vector<SipKey>> keys(kThreads);
  std::atomic<int> faults{0};
  std::latch start(kThreads);
  std::latch posted(kThreads);
  {
    Watchdog watchdog(std::chrono::seconds(300));
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = 0; i < kPerThread; ++i) {
          FormulasRegistry registry = i % 2 == 0 ? FormulasRegistry::seeded() : FormulasRegistry();
          registry.insert("made_by", ConstantRecord::seed("made_by", t, "thread"));
          const std::size_t want = i % 2 == 0 ? 18 : 1;
          if (registry.len() != want || registry.names().size() != want) faults.fetch_add(1);
          const QuarkRegistry quarks = QuarkRegistry::standard_model();
          if (quarks.sorted_names() != std::vector<std::string>{"bottom", "charm", "down", "strange", "top", "up"})
            faults.fetch_add(1);
          keys[t].push_back(next_registry_key());
          if (i == kPerThread - 1) {
            const std::lock_guard lock(mailbox_mutex);
            mailbox[(t + 1) % kThreads].emplace(std::move(registry));  // handed to the next thread
          }
        }
        posted.arrive_and_wait();
        std::optional<FormulasRegistry> received;
        {
          const std::lock_guard lock(mailbox_mutex);
          received.swap(mailbox[t]);
        }
        const int sender = (t + kThreads - 1) % kThreads;
        if (!received) {
          faults.fetch_add(1);
          return;
        }
        if (received->get("made_by").value().value != sender) faults.fetch_add(1);
        received->insert("received_by", ConstantRecord::seed("received_by", t, "thread"));
        if (received->len() != 2) faults.fetch_add(1);
        received.reset();  // dropped on a thread other than the one that made it
      });
    }
  }
  EXPECT_EQ(faults.load(), 0);
  // Each thread's keys step by one; no two threads share a key sequence.
  std::set<std::pair<std::uint64_t, std::uint64_t>> all;
  for (const auto& sequence : keys) {
    for (std::size_t i = 1; i < sequence.size(); ++i) {
      EXPECT_NE(sequence[i].k0, sequence[i - 1].k0);
      EXPECT_EQ(sequence[i].k1, sequence[i - 1].k1);
    }
    for (const SipKey& key : sequence) all.insert({key.k0, key.k1});
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace vellora
