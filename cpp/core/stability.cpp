// Lookup tables, counts, report and saved state of the stability accumulator.
#include "core/stability.hpp"

#include <cmath>
#include <cstring>
#include <limits>

namespace kelvane::core::stability {

namespace {

// Equal when both are absent, or both given and equal (NaN equal to NaN:
// two snapshots of one record must compare equal).
bool same(const std::optional<double> &a, const std::optional<double> &b) {
    if (a.has_value() != b.has_value()) return false;
    if (!a) return true;
    return *a == *b || (std::isnan(*a) && std::isnan(*b));
}

}  // namespace

bool Bin::operator==(const Bin &o) const {
    return name == o.name && id == o.id && same(frequency, o.frequency) && same(target_rate, o.target_rate) &&
           kind == o.kind && reserved == o.reserved && same(lower, o.lower) && same(upper, o.upper) &&
           categories == o.categories;
}

// ---------------------------------------------------------------- categories

void CategoryIndex::clear() {
    entries_.clear();
    mask_ = used_ = 0;
}

void CategoryIndex::grow() {
    std::vector<Entry> old = std::move(entries_);
    const std::size_t size = old.empty() ? 16 : old.size() * 2;
    entries_.assign(size, Entry{});
    mask_ = size - 1;
    used_ = 0;
    for (Entry &e : old)
        if (e.slot != empty) insert(e.key, e.hash, e.slot);
}

void CategoryIndex::insert(std::string_view key, std::uint64_t hash, std::uint32_t slot) {
    if ((used_ + 1) * 2 > entries_.size()) grow();   // at most half full: short probes
    for (std::size_t i = hash & mask_;; i = (i + 1) & mask_) {
        Entry &e = entries_[i];
        if (e.slot == empty) {
            e.key.assign(key);
            e.hash = hash;
            e.slot = slot;
            ++used_;
            return;
        }
        if (e.hash == hash && e.key == key) return;   // an earlier bin holds it
    }
}

// ---------------------------------------------------------------- lookup

void Binning::prepare_scans() {
    std::uint32_t null_bin = unmatched(), default_bin = unmatched();
    std::vector<Interval> intervals;
    std::vector<std::uint32_t> interval_bin;
    for (std::uint32_t i = 0; i < bins.size(); ++i) {
        const Bin &b = bins[i];
        if (b.reserved == Reserved::Null && null_bin == unmatched()) null_bin = i;
        if (b.reserved != Reserved::None && b.reserved != Reserved::Null && default_bin == unmatched())
            default_bin = i;
        if (b.kind == BinKind::Numerical && b.lower && b.upper) {
            intervals.push_back({*b.lower, *b.upper});
            interval_bin.push_back(i);
        }
    }
    if (kind == DataKind::Other) {
        // The lookup answers no bin for any value.
        missing_ = fallback_ = unmatched();
        intervals.clear();
    } else {
        fallback_ = default_bin;
        missing_ = null_bin != unmatched() ? null_bin : default_bin;
    }
    intervals_ = IntervalIndex(intervals);
    segment_slot_.assign(intervals_.segments(), fallback_);
    for (std::size_t k = 0; k < segment_slot_.size(); ++k) {
        const std::size_t hit = intervals_.covering(k);
        if (hit != no_bin) segment_slot_[k] = interval_bin[hit];
    }
}

void Tally::add(const Tally &other) {
    for (std::size_t i = 0; i < count.size() && i < other.count.size(); ++i) {
        count[i] += other.count[i];
        known[i] += other.known[i];
        events[i] += other.events[i];
    }
}

// ---------------------------------------------------------------- report

Level level_of(std::optional<double> psi) {
    if (!psi || std::isnan(*psi)) return Level::None;
    if (*psi < watch_from) return Level::Stable;
    return *psi < shift_from ? Level::Watch : Level::Shift;
}

double psi_term(double actual, double expected) {
    const double a = actual < share_floor ? share_floor : actual;
    const double e = expected < share_floor ? share_floor : expected;
    return (a - e) * std::log(a / e);
}

BinningReport report(const Binning &binning, const Tally &tally) {
    BinningReport r;
    const std::size_t n = binning.bins.size();
    for (std::size_t i = 0; i < tally.count.size(); ++i) r.counted += tally.count[i];
    r.unmatched = tally.count.empty() ? 0 : tally.count[binning.unmatched()];
    const std::uint64_t matched = r.counted - r.unmatched;

    double total = 0;
    bool expected = n > 0;
    for (const Bin &b : binning.bins) {
        if (!b.frequency || !std::isfinite(*b.frequency) || *b.frequency < 0) {
            expected = false;
            break;
        }
        total += *b.frequency;
    }
    expected = expected && total > 0 && std::isfinite(total);

    r.bins.resize(n);
    double psi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        BinReport &b = r.bins[i];
        b.count = tally.count[i];
        b.known = tally.known[i];
        b.events = tally.events[i];
        if (b.known) b.event_rate = static_cast<double>(b.events) / static_cast<double>(b.known);
        if (expected) b.expected_share = *binning.bins[i].frequency / total;
        if (matched) b.actual_share = static_cast<double>(b.count) / static_cast<double>(matched);
        if (b.expected_share && b.actual_share) {
            b.term = psi_term(*b.actual_share, *b.expected_share);
            psi += *b.term;
        }
    }
    if (expected && matched) r.psi = psi;
    r.level = level_of(r.psi);
    return r;
}

// ---------------------------------------------------------------- state

namespace {

constexpr char magic[8] = {'K', 'S', 'T', 'A', 'B', 'L', '0', '1'};

class Writer {
public:
    void raw(const void *p, std::size_t n) { out_.append(static_cast<const char *>(p), n); }
    void u64(std::uint64_t v) {
        unsigned char b[8];
        for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
        raw(b, 8);
    }
    void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
    void u8(std::uint8_t v) { raw(&v, 1); }
    void f64(double v) {
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        u64(bits);
    }
    void opt(const std::optional<double> &v) {
        u8(v.has_value());
        if (v) f64(*v);
    }
    void text(const std::string &s) {
        u64(s.size());
        raw(s.data(), s.size());
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

class Reader {
public:
    explicit Reader(std::string_view in) : in_(in) {}
    bool ok() const { return ok_; }
    bool done() const { return pos_ == in_.size(); }
    std::uint64_t u64() {
        if (!need(8)) return 0;
        std::uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(in_[pos_ + i])) << (8 * i);
        pos_ += 8;
        return v;
    }
    std::int64_t i64() { return static_cast<std::int64_t>(u64()); }
    std::uint8_t u8() {
        if (!need(1)) return 0;
        return static_cast<std::uint8_t>(in_[pos_++]);
    }
    double f64() {
        const std::uint64_t bits = u64();
        double v;
        std::memcpy(&v, &bits, 8);
        return v;
    }
    std::optional<double> opt() {
        const std::uint8_t present = u8();
        if (present > 1) ok_ = false;
        if (!present) return std::nullopt;
        return f64();
    }
    // A count of items each at least `least` bytes long, checked against what is left.
    std::uint64_t count(std::size_t least) {
        const std::uint64_t n = u64();
        if (ok_ && least && n > (in_.size() - pos_) / least) ok_ = false;
        return ok_ ? n : 0;
    }
    std::string text() {
        const std::uint64_t n = count(1);
        if (!need(n)) return {};
        std::string s(in_.substr(pos_, n));
        pos_ += n;
        return s;
    }
    bool magic_matches() {
        if (!need(sizeof magic) || std::memcmp(in_.data(), magic, sizeof magic) != 0) return ok_ = false;
        pos_ += sizeof magic;
        return true;
    }

private:
    bool need(std::uint64_t n) {
        if (!ok_ || n > in_.size() - pos_) ok_ = false;
        return ok_;
    }
    std::string_view in_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

}  // namespace

std::string save(const State &state) {
    Writer w;
    w.raw(magic, sizeof magic);
    w.u64(state.records);
    w.u8(state.has_score);
    w.u64(state.binnings.size());
    for (std::size_t k = 0; k < state.binnings.size(); ++k) {
        const Binning &b = state.binnings[k];
        w.text(b.attribute);
        w.u8(static_cast<std::uint8_t>(b.kind));
        w.u64(b.bins.size());
        for (const Bin &bin : b.bins) {
            w.text(bin.name);
            w.i64(bin.id);
            w.opt(bin.frequency);
            w.opt(bin.target_rate);
            w.u8(static_cast<std::uint8_t>(bin.kind));
            w.u8(static_cast<std::uint8_t>(static_cast<std::int8_t>(bin.reserved) + 1));
            w.opt(bin.lower);
            w.opt(bin.upper);
            w.u8(bin.categories.has_value());
            if (bin.categories) {
                w.u64(bin.categories->size());
                for (const std::string &c : *bin.categories) w.text(c);
            }
        }
        const Tally &t = state.tallies[k];
        for (std::size_t i = 0; i < b.slots(); ++i) {
            w.u64(t.count[i]);
            w.u64(t.known[i]);
            w.u64(t.events[i]);
        }
    }
    return w.take();
}

bool load(std::string_view bytes, State &out, std::string &error) {
    Reader r(bytes);
    State s;
    auto fail = [&](const char *why) {
        error = why;
        return false;
    };
    if (!r.magic_matches()) return fail("not a saved stability accumulator");
    s.records = r.u64();
    const std::uint8_t has_score = r.u8();
    if (has_score > 1) return fail("damaged saved state");
    s.has_score = has_score;
    const std::uint64_t n = r.count(8);
    if (s.has_score && n == 0) return fail("damaged saved state");
    for (std::uint64_t k = 0; r.ok() && k < n; ++k) {
        Binning b;
        b.attribute = r.text();
        const std::uint8_t kind = r.u8();
        if (kind > static_cast<std::uint8_t>(DataKind::Categorical)) return fail("damaged saved state");
        b.kind = static_cast<DataKind>(kind);
        const std::uint64_t bins = r.count(8);
        if (bins >= std::numeric_limits<std::uint32_t>::max()) return fail("damaged saved state");
        for (std::uint64_t i = 0; r.ok() && i < bins; ++i) {
            Bin bin;
            bin.name = r.text();
            bin.id = r.i64();
            bin.frequency = r.opt();
            bin.target_rate = r.opt();
            const std::uint8_t bin_kind = r.u8(), reserved = r.u8();
            if (bin_kind > static_cast<std::uint8_t>(BinKind::Categorical) || reserved > 4)
                return fail("damaged saved state");
            bin.kind = static_cast<BinKind>(bin_kind);
            bin.reserved = static_cast<Reserved>(static_cast<int>(reserved) - 1);
            bin.lower = r.opt();
            bin.upper = r.opt();
            const std::uint8_t has_categories = r.u8();
            if (has_categories > 1) return fail("damaged saved state");
            if (has_categories) {
                std::vector<std::string> categories(r.count(8));
                for (std::string &c : categories) c = r.text();
                bin.categories = std::move(categories);
            }
            b.bins.push_back(std::move(bin));
        }
        Tally t(b.slots());
        for (std::size_t i = 0; r.ok() && i < b.slots(); ++i) {
            t.count[i] = r.u64();
            t.known[i] = r.u64();
            t.events[i] = r.u64();
            if (t.known[i] > t.count[i] || t.events[i] > t.known[i]) return fail("damaged saved state");
        }
        s.binnings.push_back(std::move(b));
        s.tallies.push_back(std::move(t));
    }
    if (!r.ok() || !r.done()) return fail("damaged saved state");
    out = std::move(s);
    return true;
}

}  // namespace kelvane::core::stability
