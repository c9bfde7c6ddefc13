#pragma once
// The metrics of one process, and their text in the Prometheus text exposition format
// (version 0.0.4).
//
// Instruments are updated with atomic operations only: no lock and no allocation, so the
// request path may update them at any rate. A family is one metric with its label names;
// With finds or makes the instrument for one set of label values (a shared lock to find
// it, an exclusive one the first time), and a caller on a hot path may keep the reference.
// Label values must come from a small set (request kinds, configured gateway IDs): every
// set of values stays until the registry goes. A collected family instead takes its
// samples from a callback at each rendering, for values another object keeps (gateway
// states, dropped log lines).
//
// Threads: families are added on one thread at a time, also while another renders (a
// reload adds the families of a new MQTT bridge); instruments are updated from any thread;
// Render runs on any thread and never holds up an update for longer than a lookup in one
// family's table takes.
//
// Ownership: the registry owns its families, a family its instruments; references stay
// valid as long as the registry.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace Mux::Metrics {

using LabelValues = std::vector<std::string>;

class Counter {
public:
    void Inc(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    uint64_t Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> value_{0};
};

class Gauge {
public:
    void Add(int64_t n) { value_.fetch_add(n, std::memory_order_relaxed); }
    void Set(int64_t value) { value_.store(value, std::memory_order_relaxed); }
    int64_t Value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<int64_t> value_{0};
};

class Histogram {
public:
    // bounds: the buckets' upper bounds, ascending, borrowed from the family; a last
    // bucket without bound follows.
    explicit Histogram(const std::vector<double>& bounds);
    void Observe(double value);
    // The count of each bucket alone (not cumulative), the last one without bound.
    std::vector<uint64_t> BucketCounts() const;
    double Sum() const { return sum_.load(std::memory_order_relaxed); }

private:
    const std::vector<double>& bounds_;
    std::unique_ptr<std::atomic<uint64_t>[]> counts_;
    std::atomic<double> sum_{0};
};

enum class Type { counter, gauge, histogram };

// One metric: its name, help text, type and label names.
struct Description {
    std::string name;
    std::string help;
    Type type;
    std::vector<std::string> labelNames;
};

class Exposition;

class FamilyBase {
public:
    explicit FamilyBase(Description description) : description_(std::move(description)) {}
    virtual ~FamilyBase() = default;
    FamilyBase(const FamilyBase&) = delete;
    FamilyBase& operator=(const FamilyBase&) = delete;

    const Description& Describe() const { return description_; }
    // Writes the family's samples; its head is written by the caller.
    virtual void Render(Exposition& out) const = 0;

private:
    const Description description_;
};

template <class Instrument>
class Family : public FamilyBase {
public:
    Family(Description description, std::vector<double> bounds = {})
        : FamilyBase(std::move(description)), bounds_(std::move(bounds)) {}

    // The instrument for these label values, one per label name. Any thread.
    Instrument& With(const LabelValues& values) {
        {
            std::shared_lock<std::shared_mutex> lock(mutex_);
            auto found = instruments_.find(values);
            if (found != instruments_.end()) {
                return *found->second;
            }
        }
        std::unique_lock<std::shared_mutex> lock(mutex_);
        auto [entry, added] = instruments_.try_emplace(values);
        if (added) {
            if constexpr (std::is_same_v<Instrument, Histogram>) {
                entry->second = std::make_unique<Histogram>(bounds_);
            } else {
                entry->second = std::make_unique<Instrument>();
            }
        }
        return *entry->second;
    }

    void Render(Exposition& out) const override;

private:
    const std::vector<double> bounds_;  // histograms only
    mutable std::shared_mutex mutex_;
    std::map<LabelValues, std::unique_ptr<Instrument>> instruments_;  // guarded by mutex_
};

template <>
void Family<Counter>::Render(Exposition& out) const;
template <>
void Family<Gauge>::Render(Exposition& out) const;
template <>
void Family<Histogram>::Render(Exposition& out) const;

// One sample of a collected family.
struct Sample {
    LabelValues labels;
    double value;
};

class Registry {
public:
    using Collect = std::function<std::vector<Sample>()>;

    Family<Counter>& AddCounter(std::string name, std::string help,
                                std::vector<std::string> labelNames = {});
    Family<Gauge>& AddGauge(std::string name, std::string help,
                            std::vector<std::string> labelNames = {});
    Family<Histogram>& AddHistogram(std::string name, std::string help,
                                    std::vector<std::string> labelNames,
                                    std::vector<double> bounds);
    // A counter or gauge family whose samples collect gives at each rendering (on the
    // rendering thread).
    void AddCollected(Description description, Collect collect);

    // Every family in the order added, in the text exposition format.
    std::string Render() const;

private:
    // Keeps family for rendering and hands it back.
    template <class Kept>
    Kept& Keep(std::unique_ptr<Kept> family) {
        Kept& kept = *family;
        std::unique_lock<std::shared_mutex> lock(mutex_);
        families_.push_back(std::move(family));
        return kept;
    }

    mutable std::shared_mutex mutex_;
    std::vector<std::unique_ptr<FamilyBase>> families_;  // guarded by mutex_
};

}  // namespace Mux::Metrics
