// Unit tests of the stability counting (run by CTest): the lookup tables
// against a plain scan of the bins, the report, and the saved state.
#include <cmath>
#include <functional>
#include <random>

#include "tests/expect.hpp"
#include "core/stability.hpp"

using namespace kelvane::core::stability;

static std::uint64_t plain_hash(const std::string &s) { return std::hash<std::string>{}(s); }

// The monitoring lookup as a scan of the bins in list order.
static std::uint32_t scan(const Binning &b, std::optional<double> number, const std::string *text) {
    auto first = [&](auto &&test) -> std::uint32_t {
        for (std::uint32_t i = 0; i < b.bins.size(); ++i)
            if (test(b.bins[i])) return i;
        return b.unmatched();
    };
    auto defaults = [&] {
        return first([](const Bin &x) { return x.reserved != Reserved::None && x.reserved != Reserved::Null; });
    };
    const bool missing = text ? *text == "nan" : !number || std::isnan(*number);
    if (missing) {
        const std::uint32_t null_bin = first([](const Bin &x) { return x.reserved == Reserved::Null; });
        return null_bin != b.unmatched() ? null_bin : defaults();
    }
    std::uint32_t hit = b.unmatched();
    if (text)
        hit = first([&](const Bin &x) {
            if (x.kind != BinKind::Categorical || !x.categories) return false;
            for (const std::string &c : *x.categories)
                if (c == *text) return true;
            return false;
        });
    else
        hit = first([&](const Bin &x) {
            return x.kind == BinKind::Numerical && x.lower && x.upper && *x.lower < *number && *number <= *x.upper;
        });
    return hit != b.unmatched() ? hit : defaults();
}

static Binning random_binning(std::mt19937 &rng, DataKind kind) {
    const double points[] = {-INFINITY, -2, -1, 0, 0.5, 1, 3, INFINITY, NAN};
    const char *texts[] = {"a", "b", "c", "nan", "dd"};
    Binning b;
    b.attribute.push_back('x');   // assigning a literal trips a false -Wrestrict in GCC 12
    b.kind = kind;
    const int n = static_cast<int>(rng() % 8);
    for (int i = 0; i < n; ++i) {
        Bin bin;
        bin.name = "bin" + std::to_string(i);
        bin.id = i;
        bin.reserved = rng() % 4 == 0 ? static_cast<Reserved>(rng() % 4) : Reserved::None;
        bin.kind = rng() % 5 == 0 ? BinKind::Categorical : BinKind::Numerical;
        if (kind == DataKind::Categorical) bin.kind = rng() % 5 == 0 ? BinKind::Numerical : BinKind::Categorical;
        if (rng() % 8) bin.lower = points[rng() % 9];
        if (rng() % 8) bin.upper = points[rng() % 9];
        if (rng() % 6) {
            bin.categories.emplace();
            for (unsigned k = rng() % 3; k-- > 0;) bin.categories->push_back(texts[rng() % 5]);
        }
        bin.frequency = static_cast<double>(rng() % 10);
        b.bins.push_back(bin);
    }
    b.prepare(plain_hash);
    return b;
}

static void lookup_equals_the_plain_scan() {
    std::mt19937 rng(7);
    const double values[] = {-INFINITY, -2, -1.5, -1, 0, 0.25, 0.5, 1, 2, 3, 4, INFINITY, NAN};
    const std::string texts[] = {"a", "b", "c", "nan", "dd", "zz", ""};
    for (int round = 0; round < 2000; ++round) {
        const Binning n = random_binning(rng, DataKind::Numerical);
        for (double v : values) EXPECT(n.number(v) == scan(n, v, nullptr));
        EXPECT(n.missing() == scan(n, std::nullopt, nullptr));
        const Binning c = random_binning(rng, DataKind::Categorical);
        for (const std::string &t : texts) {
            const std::uint32_t slot = t == "nan" ? c.missing() : c.text(t, plain_hash(t));
            EXPECT(slot == scan(c, std::nullopt, &t));
        }
    }
}

static void report_and_levels() {
    Binning b;
    b.kind = DataKind::Numerical;
    for (int i = 0; i < 3; ++i) {
        Bin bin;
        bin.kind = BinKind::Numerical;
        bin.lower = i;
        bin.upper = i + 1;
        bin.frequency = (i + 1) * 10.0;
        b.bins.push_back(bin);
    }
    b.prepare(plain_hash);
    Tally t(b.slots());
    for (double v : {0.5, 1.5, 1.5, 7.0}) t.add(b.number(v), v > 1 ? 1 : 0);
    const BinningReport r = report(b, t);
    EXPECT(r.counted == 4 && r.unmatched == 1);
    EXPECT(*r.bins[1].actual_share == 2.0 / 3 && *r.bins[2].actual_share == 0);
    EXPECT(*r.bins[0].expected_share == 10.0 / 60);
    EXPECT(*r.bins[1].event_rate == 1 && !r.bins[2].event_rate);
    double psi = 0;
    for (const BinReport &x : r.bins) psi += *x.term;
    EXPECT(r.psi && *r.psi == psi && std::isfinite(psi));
    EXPECT(level_of(0.0999) == Level::Stable && level_of(0.1) == Level::Watch && level_of(0.25) == Level::Shift);
    EXPECT(level_of(std::nullopt) == Level::None);
    EXPECT(psi_term(0, 0) == 0);
    b.bins[0].frequency.reset();   // one bin without a frequency: no expected side
    EXPECT(!report(b, t).psi && !report(b, t).bins[1].expected_share);
}

static void state_round_trip_and_damage() {
    std::mt19937 rng(11);
    State s;
    s.records = 5;
    s.binnings = {random_binning(rng, DataKind::Numerical), random_binning(rng, DataKind::Categorical)};
    s.has_score = true;
    for (const Binning &b : s.binnings) {
        Tally t(b.slots());
        t.add(0, 1);
        s.tallies.push_back(t);
    }
    const std::string bytes = save(s);
    State back;
    std::string error;
    EXPECT(load(bytes, back, error));
    EXPECT(back.records == 5 && back.has_score && back.tallies == s.tallies);
    EXPECT(back.binnings.size() == 2 && back.binnings[1].same_definition(s.binnings[1]));
    // Every truncation and every flipped byte is refused or read as a whole state, never past the end.
    for (std::size_t n = 0; n < bytes.size(); ++n) EXPECT(!load(std::string_view(bytes).substr(0, n), back, error));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::string damaged = bytes;
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
        State any;
        if (load(damaged, any, error)) EXPECT(any.binnings.size() == any.tallies.size());
    }
}

int main() {
    lookup_equals_the_plain_scan();
    report_and_levels();
    state_round_trip_and_damage();
    return finish();
}
