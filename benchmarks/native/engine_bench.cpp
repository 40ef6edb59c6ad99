// Throughput and latency of the channel engine beside a plain
// mutex + deque + condition variable queue, measured round by round in the
// same run (engine round, baseline round, ...) so that drift hits both alike.
//
//   torvan_native_bench [--quick] [--json PATH] [--only TEXT]
//
// --only keeps the cases whose "group/case" contains TEXT.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <latch>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/engine/engine.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using Message = std::uint64_t;

// The baseline: one mutex, a deque and condition variables. Capacity 0 is a
// hand-over: a send returns once a receiver has taken its item.
class MutexQueue {
public:
    explicit MutexQueue(std::optional<std::size_t> capacity) : capacity_(capacity) {}

    bool send(Message m) {
        std::unique_lock<std::mutex> lock(mutex_);
        const std::size_t room = capacity_.value_or(SIZE_MAX) == 0 ? 1 : capacity_.value_or(SIZE_MAX);
        not_full_.wait(lock, [&] { return closed_ || items_.size() < room; });
        if (closed_) {
            return false;
        }
        items_.push_back(m);
        const std::uint64_t ticket = ++pushed_;
        not_empty_.notify_one();
        if (capacity_ == 0) {
            taken_cv_.wait(lock, [&] { return popped_ >= ticket || closed_; });
        }
        return true;
    }

    std::optional<Message> recv() {
        std::unique_lock<std::mutex> lock(mutex_);
        not_empty_.wait(lock, [&] { return closed_ || !items_.empty(); });
        if (items_.empty()) {
            return std::nullopt;
        }
        Message m = items_.front();
        items_.pop_front();
        ++popped_;
        not_full_.notify_one();
        if (capacity_ == 0) {
            taken_cv_.notify_all();
        }
        return m;
    }

    void close() {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        not_empty_.notify_all();
        not_full_.notify_all();
        taken_cv_.notify_all();
    }

private:
    std::optional<std::size_t> capacity_;
    std::mutex mutex_;
    std::condition_variable not_empty_;
    std::condition_variable not_full_;
    std::condition_variable taken_cv_;
    std::deque<Message> items_;
    std::uint64_t pushed_ = 0;
    std::uint64_t popped_ = 0;
    bool closed_ = false;
};

enum class Flavour { Unbounded, Bounded, Rendezvous };

const char* flavour_name(Flavour f) {
    switch (f) {
        case Flavour::Unbounded:
            return "unbounded";
        case Flavour::Bounded:
            return "bounded_1024";
        case Flavour::Rendezvous:
            return "rendezvous";
    }
    return "?";
}

std::optional<std::size_t> capacity_of(Flavour f) {
    switch (f) {
        case Flavour::Unbounded:
            return std::nullopt;
        case Flavour::Bounded:
            return 1024;
        case Flavour::Rendezvous:
            return 0;
    }
    return std::nullopt;
}

// Runs producers and consumers released together; returns seconds elapsed
// until every thread is done.
double timed_threads(int producers, int consumers, const std::function<void(int)>& produce,
                     const std::function<void()>& consume, const std::function<void()>& after_producers) {
    std::latch start(producers + consumers + 1);
    std::vector<std::thread> producer_threads;
    std::vector<std::thread> consumer_threads;
    for (int c = 0; c < consumers; ++c) {
        consumer_threads.emplace_back([&] {
            start.arrive_and_wait();
            consume();
        });
    }
    for (int p = 0; p < producers; ++p) {
        producer_threads.emplace_back([&, p] {
            start.arrive_and_wait();
            produce(p);
        });
    }
    const auto begin = Clock::now();
    start.arrive_and_wait();
    for (auto& t : producer_threads) {
        t.join();
    }
    after_producers();
    for (auto& t : consumer_threads) {
        t.join();
    }
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

double engine_throughput(Flavour f, int producers, int consumers, std::uint64_t messages) {
    auto [tx, rx] = f == Flavour::Unbounded ? torvan::engine::unbounded<Message>()
                                            : torvan::engine::bounded<Message>(*capacity_of(f));
    std::vector<torvan::engine::Sender<Message>> senders;
    std::vector<torvan::engine::Receiver<Message>> receivers;
    for (int p = 0; p < producers; ++p) {
        senders.push_back(tx.clone());
    }
    for (int c = 0; c < consumers; ++c) {
        receivers.push_back(rx.clone());
    }
    tx.reset();
    rx.reset();
    std::atomic<int> next_receiver{0};
    const std::uint64_t per_producer = messages / static_cast<std::uint64_t>(producers);
    const double seconds = timed_threads(
        producers, consumers,
        [&](int p) {
            for (std::uint64_t i = 0; i < per_producer; ++i) {
                Message m = i;
                senders[static_cast<std::size_t>(p)].send(m);
            }
            senders[static_cast<std::size_t>(p)].reset();
        },
        [&] {
            auto& r = receivers[static_cast<std::size_t>(next_receiver.fetch_add(1))];
            std::optional<Message> out;
            while (r.recv(out) == torvan::engine::RecvStatus::Received) {
            }
        },
        [] {});
    return static_cast<double>(per_producer * static_cast<std::uint64_t>(producers)) / seconds;
}

double mutex_throughput(Flavour f, int producers, int consumers, std::uint64_t messages) {
    MutexQueue queue(capacity_of(f));
    const std::uint64_t per_producer = messages / static_cast<std::uint64_t>(producers);
    const double seconds = timed_threads(
        producers, consumers,
        [&](int) {
            for (std::uint64_t i = 0; i < per_producer; ++i) {
                queue.send(i);
            }
        },
        [&] {
            while (queue.recv()) {
            }
        },
        [&] { queue.close(); });
    return static_cast<double>(per_producer * static_cast<std::uint64_t>(producers)) / seconds;
}

double engine_pair_ns(Flavour f, std::uint64_t pairs) {
    auto [tx, rx] = f == Flavour::Unbounded ? torvan::engine::unbounded<Message>()
                                            : torvan::engine::bounded<Message>(*capacity_of(f));
    std::optional<Message> out;
    std::uint64_t sum = 0;
    const auto begin = Clock::now();
    for (std::uint64_t i = 0; i < pairs; ++i) {
        Message m = i;
        tx.send(m);
        rx.recv(out);
        sum += *out;
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    if (sum == 1) {
        std::puts("");  // keeps the loop from being optimised away
    }
    return ns / static_cast<double>(pairs);
}

double mutex_pair_ns(Flavour f, std::uint64_t pairs) {
    MutexQueue queue(capacity_of(f));
    std::uint64_t sum = 0;
    const auto begin = Clock::now();
    for (std::uint64_t i = 0; i < pairs; ++i) {
        queue.send(i);
        sum += *queue.recv();
    }
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
    if (sum == 1) {
        std::puts("");
    }
    return ns / static_cast<double>(pairs);
}

struct Record {
    std::string group;
    std::string name;
    std::string impl;
    std::string unit;
    std::vector<double> rounds;

    double median() const {
        std::vector<double> sorted = rounds;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
    }
    double min() const { return *std::min_element(rounds.begin(), rounds.end()); }
    double max() const { return *std::max_element(rounds.begin(), rounds.end()); }
};

// Measures one case: engine and baseline alternate, round by round.
std::string g_only;

void measure(std::vector<Record>& out, const std::string& group, const std::string& name, const std::string& unit,
             int rounds, const std::function<double()>& engine, const std::function<double()>& baseline) {
    if ((group + "/" + name).find(g_only) == std::string::npos) {
        return;
    }
    Record e{group, name, "torvan", unit, {}};
    Record b{group, name, "mutex_deque", unit, {}};
    for (int r = 0; r < rounds; ++r) {
        e.rounds.push_back(engine());
        b.rounds.push_back(baseline());
    }
    std::fprintf(stderr, "  %-14s %-14s done\n", group.c_str(), name.c_str());
    out.push_back(std::move(e));
    out.push_back(std::move(b));
}

void write_json(const std::vector<Record>& records, const std::string& path) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
    std::fprintf(f, "[\n");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const Record& r = records[i];
        std::fprintf(f,
                     "  {\"group\": \"%s\", \"case\": \"%s\", \"impl\": \"%s\", \"unit\": \"%s\", "
                     "\"median\": %.6g, \"min\": %.6g, \"max\": %.6g, \"rounds\": [",
                     r.group.c_str(), r.name.c_str(), r.impl.c_str(), r.unit.c_str(), r.median(), r.min(), r.max());
        for (std::size_t k = 0; k < r.rounds.size(); ++k) {
            std::fprintf(f, "%s%.6g", k == 0 ? "" : ", ", r.rounds[k]);
        }
        std::fprintf(f, "]}%s\n", i + 1 < records.size() ? "," : "");
    }
    std::fprintf(f, "]\n");
    std::fclose(f);
}

void print_table(const std::vector<Record>& records) {
    std::printf("%-14s %-14s %-6s %14s %14s %14s %8s\n", "group", "case", "unit", "torvan", "mutex_deque", "spread(t)",
                "ratio");
    for (std::size_t i = 0; i + 1 < records.size(); i += 2) {
        const Record& e = records[i];
        const Record& b = records[i + 1];
        // Ratio > 1 means the engine is better: more messages per second, or fewer ns per pair.
        const double ratio = e.unit == "ns/op" ? b.median() / e.median() : e.median() / b.median();
        const double spread = (e.max() - e.min()) / e.median() * 100.0;
        std::printf("%-14s %-14s %-6s %14.4g %14.4g %13.1f%% %7.2fx\n", e.group.c_str(), e.name.c_str(),
                    e.unit.c_str(), e.median(), b.median(), spread, ratio);
    }
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string json;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            g_only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--json PATH] [--only TEXT]\n", argv[0]);
            return 2;
        }
    }
    const int rounds = quick ? 3 : 7;
    const std::uint64_t buffered = quick ? 2'000'000 : 5'000'000;
    const std::uint64_t handoffs = quick ? 10'000 : 50'000;
    const std::uint64_t pairs = quick ? 500'000 : 3'000'000;

    std::vector<Record> records;
    for (Flavour f : {Flavour::Unbounded, Flavour::Bounded, Flavour::Rendezvous}) {
        const std::uint64_t n = f == Flavour::Rendezvous ? handoffs : buffered;
        measure(records, "spsc", flavour_name(f), "msg/s", rounds, [&] { return engine_throughput(f, 1, 1, n); },
                [&] { return mutex_throughput(f, 1, 1, n); });
    }
    for (Flavour f : {Flavour::Unbounded, Flavour::Bounded, Flavour::Rendezvous}) {
        const std::uint64_t n = f == Flavour::Rendezvous ? handoffs : buffered;
        measure(records, "mpmc_2x2", flavour_name(f), "msg/s", rounds, [&] { return engine_throughput(f, 2, 2, n); },
                [&] { return mutex_throughput(f, 2, 2, n); });
    }
    for (Flavour f : {Flavour::Unbounded, Flavour::Bounded}) {
        measure(records, "single_thread", flavour_name(f), "ns/op", rounds, [&] { return engine_pair_ns(f, pairs); },
                [&] { return mutex_pair_ns(f, pairs); });
    }

    if (!json.empty()) {
        write_json(records, json);
    } else {
        print_table(records);
    }
    return 0;
}
