// Population and characteristic stability over monitoring binnings: the
// snapshot of one binning, the counting of observed values per bin under the
// monitoring lookup's rules, and the report of shares, stability index and
// event rates.
//
// A `Binning` holds what the lookup reads of a monitoring binning (bins in
// list order, their kinds, bounds, categories and reserved names) and what
// the report needs (names, ids, development frequency and target rate).
// `prepare()` builds its lookup tables; the lookup then answers a slot per
// value: the position of the bin the monitoring lookup answers, or
// `unmatched()` when it answers no bin. The rules, from the monitoring
// lookup:
//   - a missing value (None, NaN, the text "nan") falls in the first bin named
//     "1_null", else in the first default bin;
//   - a number falls in the first numerical bin, in list order, whose two
//     bounds are given and for which lower < v <= upper, else in the first
//     default bin ("0_default", "0_defined_default", "0_system_default");
//   - a text falls in the first categorical bin whose categories hold it
//     (bins without categories are passed over), else in the first default
//     bin. Texts are compared as keys: equal texts have equal keys.
// Reserved names are not set apart in the regular scans.
//
// No Python here; the module turns records and values into these types.
#pragma once

#include "core/binning.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::core::stability {

// Bins whose name is one of the reserved names, in the enum's order.
enum class Reserved : std::int8_t { None = -1, Default, DefinedDefault, SystemDefault, Null };

enum class BinKind : std::uint8_t { Other, Numerical, Categorical };
// The binning's attribute_data_type: which lookup applies (Other: none, every
// value is unmatched).
enum class DataKind : std::uint8_t { Other, Numerical, Categorical };

struct Bin {
    std::string name;
    std::int64_t id = 0;
    std::optional<double> frequency, target_rate;
    BinKind kind = BinKind::Other;
    Reserved reserved = Reserved::None;
    std::optional<double> lower, upper;                     // numerical bins
    std::optional<std::vector<std::string>> categories;    // categorical bins; keys

    bool operator==(const Bin &other) const;
};

// Open-addressing map from a text key to the first bin holding it; the hash
// of every key is given by the caller (the module uses the interpreter's
// string hash, which a string keeps once computed).
class CategoryIndex {
public:
    void clear();
    // Keeps the first slot given for a key.
    void insert(std::string_view key, std::uint64_t hash, std::uint32_t slot);
    // The slot of the key, or `absent`.
    std::uint32_t find(std::string_view key, std::uint64_t hash, std::uint32_t absent) const {
        if (entries_.empty()) return absent;
        for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
            const Entry &e = entries_[i];
            if (e.slot == empty) return absent;
            if (e.hash == hash && e.key == key) return e.slot;
        }
    }

private:
    static constexpr std::uint32_t empty = 0xffffffffu;
    struct Entry {
        std::string key;
        std::uint64_t hash = 0;
        std::uint32_t slot = empty;
    };
    void grow();
    std::vector<Entry> entries_;
    std::size_t mask_ = 0, used_ = 0;
};

class Binning {
public:
    std::string attribute;
    DataKind kind = DataKind::Other;
    std::vector<Bin> bins;

    // Builds the lookup tables; `hash` gives the hash of a category key.
    template <class Hash>
    void prepare(Hash &&hash) {
        prepare_scans();
        categories_.clear();
        for (std::uint32_t i = 0; i < bins.size(); ++i)
            if (bins[i].kind == BinKind::Categorical && bins[i].categories)
                for (const std::string &c : *bins[i].categories) categories_.insert(c, hash(c), i);
    }

    std::uint32_t unmatched() const { return static_cast<std::uint32_t>(bins.size()); }
    std::uint32_t slots() const { return unmatched() + 1; }
    // Slot of a missing value.
    std::uint32_t missing() const { return missing_; }
    // Slot of a value that no regular bin holds.
    std::uint32_t fallback() const { return fallback_; }
    // Slot of a number under the numerical lookup (NaN: missing).
    std::uint32_t number(double v) const {
        if (v != v) return missing_;
        return segment_slot_[intervals_.segment(v)];
    }
    // Slot of a text key (not "nan") under the categorical lookup.
    std::uint32_t text(std::string_view key, std::uint64_t hash) const {
        return categories_.find(key, hash, fallback_);
    }

    // Same attribute, kind and bins (what a merge requires).
    bool same_definition(const Binning &other) const {
        return attribute == other.attribute && kind == other.kind && bins == other.bins;
    }

private:
    void prepare_scans();
    IntervalIndex intervals_;
    std::vector<std::uint32_t> segment_slot_;   // per segment of intervals_: the slot
    CategoryIndex categories_;
    std::uint32_t missing_ = 0, fallback_ = 0;
};

// Counts per slot of one binning: records, records with a known target, and
// events among those.
struct Tally {
    std::vector<std::uint64_t> count, known, events;

    explicit Tally(std::size_t slots = 0) : count(slots), known(slots), events(slots) {}
    // target: -1 unknown, 0 or 1.
    void add(std::uint32_t slot, std::int8_t target) {
        ++count[slot];
        if (target >= 0) {
            ++known[slot];
            events[slot] += static_cast<std::uint64_t>(target);
        }
    }
    void add(const Tally &other);
    bool operator==(const Tally &other) const = default;
};

// ---------------------------------------------------------------- report

// Customary alarm levels of a stability index.
enum class Level : std::int8_t { None = -1, Stable, Watch, Shift };
inline constexpr double watch_from = 0.10, shift_from = 0.25;
Level level_of(std::optional<double> psi);

// A share below this floor is taken at the floor in a bin's index term, so a
// bin empty on one side adds a large but finite term (see docs/stability.md).
inline constexpr double share_floor = 1e-4;
// (actual - expected) * ln(actual / expected), both shares floored.
double psi_term(double actual, double expected);

struct BinReport {
    std::optional<double> expected_share, actual_share, term, event_rate;
    std::uint64_t count = 0, known = 0, events = 0;
};

struct BinningReport {
    std::uint64_t counted = 0, unmatched = 0;
    std::optional<double> psi;
    Level level = Level::None;
    std::vector<BinReport> bins;
};

// Expected shares are the bins' frequencies over their sum: given only when
// every bin has a finite, non-negative frequency and the sum is positive.
// Actual shares are counts over the values that fell in a bin (unmatched
// ones left out). The index is given when both sides are.
BinningReport report(const Binning &binning, const Tally &tally);

// ---------------------------------------------------------------- state

// The definitions and counts of an accumulator, as bytes (for pickling) and
// back. `load` checks everything it reads: damaged bytes give false and a
// message, never a partial state.
struct State {
    std::uint64_t records = 0;
    std::vector<Binning> binnings;   // the attributes', then the score's when `has_score`
    std::vector<Tally> tallies;      // one per binning
    bool has_score = false;
};
std::string save(const State &state);
bool load(std::string_view bytes, State &state, std::string &error);

}  // namespace kelvane::core::stability
