#include "metrics/Registry.h"

#include <algorithm>
#include <charconv>

namespace Mux::Metrics {

// Writes the text exposition format into one string.
class Exposition {
public:
    void Head(const Description& description) {
        text_ += "# HELP " + description.name + " ";
        for (char c : description.help) {
            if (c == '\\') {
                text_ += "\\\\";
            } else if (c == '\n') {
                text_ += "\\n";
            } else {
                text_ += c;
            }
        }
        static constexpr const char* kTypeNames[] = {"counter", "gauge", "histogram"};
        text_ += "\n# TYPE " + description.name + " " +
                 kTypeNames[static_cast<int>(description.type)] + "\n";
    }

    // name{label="value",...,extraName="extraValue"} value
    template <class Value>
    void Line(const std::string& name, const std::vector<std::string>& labelNames,
              const LabelValues& labels, Value value, const char* extraName = nullptr,
              const std::string& extraValue = "") {
        text_ += name;
        const size_t count = std::min(labelNames.size(), labels.size());
        if (count > 0 || extraName != nullptr) {
            text_ += '{';
            for (size_t i = 0; i < count; ++i) {
                Label(labelNames[i], labels[i], i > 0);
            }
            if (extraName != nullptr) {
                Label(extraName, extraValue, count > 0);
            }
            text_ += '}';
        }
        text_ += ' ';
        Number(value);
        text_ += '\n';
    }

    std::string Take() { return std::move(text_); }

    static std::string Bound(double bound) {
        std::string text;
        AppendNumber(text, bound);
        return text;
    }

private:
    void Label(const std::string& name, const std::string& value, bool comma) {
        if (comma) {
            text_ += ',';
        }
        text_ += name + "=\"";
        for (char c : value) {
            if (c == '\\' || c == '"') {
                text_ += '\\';
                text_ += c;
            } else if (c == '\n') {
                text_ += "\\n";
            } else {
                text_ += c;
            }
        }
        text_ += '"';
    }

    template <class Value>
    void Number(Value value) {
        AppendNumber(text_, value);
    }

    template <class Value>
    static void AppendNumber(std::string& text, Value value) {
        char digits[32];
        text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
    }

    std::string text_;
};

Histogram::Histogram(const std::vector<double>& bounds)
    : bounds_(bounds), counts_(std::make_unique<std::atomic<uint64_t>[]>(bounds.size() + 1)) {}

void Histogram::Observe(double value) {
    const size_t bucket = static_cast<size_t>(
        std::lower_bound(bounds_.begin(), bounds_.end(), value) - bounds_.begin());
    counts_[bucket].fetch_add(1, std::memory_order_relaxed);
    sum_.fetch_add(value, std::memory_order_relaxed);
}

std::vector<uint64_t> Histogram::BucketCounts() const {
    std::vector<uint64_t> counts(bounds_.size() + 1);
    for (size_t i = 0; i < counts.size(); ++i) {
        counts[i] = counts_[i].load(std::memory_order_relaxed);
    }
    return counts;
}

template <>
void Family<Counter>::Render(Exposition& out) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const auto& [labels, counter] : instruments_) {
        out.Line(Describe().name, Describe().labelNames, labels, counter->Value());
    }
}

template <>
void Family<Gauge>::Render(Exposition& out) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const auto& [labels, gauge] : instruments_) {
        out.Line(Describe().name, Describe().labelNames, labels, gauge->Value());
    }
}

template <>
void Family<Histogram>::Render(Exposition& out) const {
    const std::string& name = Describe().name;
    const std::vector<std::string>& labelNames = Describe().labelNames;
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const auto& [labels, histogram] : instruments_) {
        // The count is the buckets' total, so that the last bucket and the count agree
        // even while observations arrive.
        const std::vector<uint64_t> counts = histogram->BucketCounts();
        uint64_t cumulative = 0;
        for (size_t i = 0; i < counts.size(); ++i) {
            cumulative += counts[i];
            out.Line(name + "_bucket", labelNames, labels, cumulative, "le",
                     i < bounds_.size() ? Exposition::Bound(bounds_[i]) : "+Inf");
        }
        out.Line(name + "_sum", labelNames, labels, histogram->Sum());
        out.Line(name + "_count", labelNames, labels, cumulative);
    }
}

namespace {

class CollectedFamily : public FamilyBase {
public:
    CollectedFamily(Description description, Registry::Collect collect)
        : FamilyBase(std::move(description)), collect_(std::move(collect)) {}

    void Render(Exposition& out) const override {
        for (const Sample& sample : collect_()) {
            out.Line(Describe().name, Describe().labelNames, sample.labels, sample.value);
        }
    }

private:
    const Registry::Collect collect_;
};

}  // namespace

Family<Counter>& Registry::AddCounter(std::string name, std::string help,
                                      std::vector<std::string> labelNames) {
    return Keep(std::make_unique<Family<Counter>>(
        Description{std::move(name), std::move(help), Type::counter, std::move(labelNames)}));
}

Family<Gauge>& Registry::AddGauge(std::string name, std::string help,
                                  std::vector<std::string> labelNames) {
    return Keep(std::make_unique<Family<Gauge>>(
        Description{std::move(name), std::move(help), Type::gauge, std::move(labelNames)}));
}

Family<Histogram>& Registry::AddHistogram(std::string name, std::string help,
                                          std::vector<std::string> labelNames,
                                          std::vector<double> bounds) {
    return Keep(std::make_unique<Family<Histogram>>(
        Description{std::move(name), std::move(help), Type::histogram, std::move(labelNames)},
        std::move(bounds)));
}

void Registry::AddCollected(Description description, Collect collect) {
    Keep(std::make_unique<CollectedFamily>(std::move(description), std::move(collect)));
}

std::string Registry::Render() const {
    Exposition out;
    std::shared_lock<std::shared_mutex> lock(mutex_);
    for (const std::unique_ptr<FamilyBase>& family : families_) {
        out.Head(family->Describe());
        family->Render(out);
    }
    return out.Take();
}

}  // namespace Mux::Metrics
