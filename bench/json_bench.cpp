// JSON parse and write throughput on the shared corpus, side by side with RapidJSON (DOM with
// full-precision floats, and its Writer) and, for scale, simdjson's DOM parse; plus one core's
// memcpy bandwidth; plus our float conversions against libstdc++'s std::from_chars and
// std::to_chars on canada's numbers. Each contender and its reference run in alternating
// rounds of a fixed number of calls (about 20 ms each), timed in the thread's CPU time so that
// time spent descheduled on a busy machine counts for neither: each throughput is the best
// round; the ratio is given from those and as the median over adjacent pairs of rounds.
// Usage: kevro_json_bench [seconds per figure, default 0.6] [corpus directory]
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

#ifdef KEVRO_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include "json/parser.h"
#include "json/writer.h"

namespace {

// Keeps results alive so that the compiler cannot drop the measured work.
volatile std::size_t g_sink = 0;

/// The CPU time of the calling thread, in seconds.
double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

/// The number of calls of `fn` that take about `round` seconds of CPU time.
template <typename Fn>
long calls_per_round(Fn&& fn, double round) {
    long calls = 1;
    for (;;) {
        double start = thread_seconds();
        for (long i = 0; i < calls; ++i) fn();
        double elapsed = thread_seconds() - start;
        if (elapsed >= round / 4) {
            return std::max(1L, static_cast<long>(static_cast<double>(calls) * round / elapsed));
        }
        calls *= 2;
    }
}

/// Seconds of CPU time per call of `fn` over `calls` calls.
template <typename Fn>
double one_round(Fn&& fn, long calls) {
    double start = thread_seconds();
    for (long i = 0; i < calls; ++i) fn();
    return (thread_seconds() - start) / static_cast<double>(calls);
}

/// Seconds per call of `fn`: the best of rounds of about 50 ms each within `budget` seconds.
template <typename Fn>
double seconds_per_call(Fn&& fn, double budget) {
    long calls = calls_per_round(fn, 0.05);
    double best = 1e30;
    double start = thread_seconds();
    do {
        best = std::min(best, one_round(fn, calls));
    } while (thread_seconds() - start < budget);
    return best;
}

struct PairTiming {
    double a, b;   // seconds per call, the best round of each
    double ratio;  // speed of a over speed of b: the median over pairs of adjacent rounds
};

/// Times two contenders in alternating rounds of about 20 ms. Adjacent rounds see nearly the
/// same machine load, so the median of their ratios holds steady on a busy machine, where
/// the best round of each can come from different moments.
template <typename A, typename B>
PairTiming seconds_per_call_pair(A&& a, B&& b, double budget) {
    long calls_a = calls_per_round(a, 0.02);
    long calls_b = calls_per_round(b, 0.02);
    double best_a = 1e30, best_b = 1e30;
    std::vector<double> ratios;
    double start = thread_seconds();
    do {
        double ta = one_round(a, calls_a);
        double tb = one_round(b, calls_b);
        best_a = std::min(best_a, ta);
        best_b = std::min(best_b, tb);
        ratios.push_back(tb / ta);
    } while (thread_seconds() - start < 2 * budget || ratios.size() < 5);
    std::sort(ratios.begin(), ratios.end());
    return {best_a, best_b, ratios[ratios.size() / 2]};
}

/// Our parse of the text against RapidJSON's full-precision DOM parse.
PairTiming parse_pair(const std::string& text, double budget) {
    kevro::json::ParseError error;
    return seconds_per_call_pair(
        [&] {
            kevro::json::Value v;
            kevro::json::parse(text, v, error);
            g_sink = g_sink + static_cast<std::size_t>(v.kind());
        },
        [&] {
            rapidjson::Document d;
            d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
            g_sink = g_sink + static_cast<std::size_t>(d.GetType());
        },
        budget);
}

double memcpy_gb_per_s(double budget) {
    const std::size_t size = std::size_t{256} << 20;
    std::vector<char> a(size, 1), b(size, 2);
    double s = seconds_per_call(
        [&] {
            std::memcpy(b.data(), a.data(), size);
            g_sink = g_sink + static_cast<unsigned char>(b[size / 2]);
        },
        budget);
    return static_cast<double>(size) / s / 1e9;
}

std::string read_file(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Row {
    std::string name;
    double ours_parse, rapid_parse, simd_parse, ours_write, rapid_write;
    double parse_ratio, write_ratio;
};

/// A float's text split as the parser lexes it: up to nineteen significant digits w and the
/// power of ten q, so that the number is w * 10^q.
struct Decimal {
    std::uint64_t w;
    std::int64_t q;
    bool negative;
    const char* first;  // the text
    const char* last;
};

/// Lexes the float text [p, end) as the parser does; false when it has more than nineteen
/// significant digits (the parser sends those to std::from_chars).
bool lex_decimal(const char* p, const char* end, Decimal& out) {
    out = {0, 0, false, p, end};
    if (*p == '-') {
        out.negative = true;
        ++p;
    }
    int digits = 0;
    bool fraction = false;
    for (; p < end && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        if (digits == 19) return false;
        if (digits > 0 || *p != '0') ++digits;
        out.w = out.w * 10 + static_cast<std::uint64_t>(*p - '0');
        if (fraction) --out.q;
    }
    if (p < end) out.q += std::atoi(p + 1);
    return out.w != 0;
}

/// Our float conversions against libstdc++'s on the floats of `text` (canada's, nearly all of
/// 15 to 17 digits). Reading: the floats that the parser converts with its own method (those
/// that one exact multiplication or division cannot), from their lexed digits by that method
/// against std::from_chars from their text; the parser lexes every number in any case, to check
/// it, so the conversion is what the choice changes. Writing: the writer's float text against
/// std::to_chars's shortest form, each appended to one string with a comma (ours also lays the
/// digits out as JSON floats).
void compare_float_conversions(const std::string& text, double budget) {
    std::string numbers = "[";
    std::vector<Decimal> slow;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t n = text.find_first_not_of("+-.0123456789eE", i);
        if (n == std::string::npos) n = text.size();
        bool number = n > i && (text[i] == '-' || (text[i] >= '0' && text[i] <= '9'));
        if (number && text.find_first_of(".eE", i) < n) {
            if (numbers.size() > 1) numbers += ',';
            numbers.append(text, i, n - i);
            Decimal d;
            if (lex_decimal(text.data() + i, text.data() + n, d) &&
                (d.w > (std::uint64_t{1} << 53) || d.q < -22 || d.q > 22)) {
                slow.push_back(d);
            }
        }
        i = n > i ? n : i + 1;
    }
    numbers += ']';
    kevro::json::Value array;
    kevro::json::ParseError error;
    if (!kevro::json::parse(numbers, array, error) || slow.empty()) {
        std::printf("canada's numbers: %s\n", error.text().c_str());
        return;
    }
    std::vector<double> doubles;
    for (const kevro::json::Value& v : array.as_array()) doubles.push_back(v.as_double());
    auto count = static_cast<double>(doubles.size());
    auto slow_count = static_cast<double>(slow.size());

    PairTiming read = seconds_per_call_pair(
        [&] {
            double sum = 0;
            for (const Decimal& d : slow) {
                double x;
                if (!kevro::json::detail::decimal_to_double(d.w, d.q, d.negative, x)) {
                    std::from_chars(d.first, d.last, x);
                }
                sum += x;
            }
            g_sink = g_sink + static_cast<std::size_t>(sum != 0);
        },
        [&] {
            double sum = 0;
            for (const Decimal& d : slow) {
                double x;
                std::from_chars(d.first, d.last, x);
                sum += x;
            }
            g_sink = g_sink + static_cast<std::size_t>(sum != 0);
        },
        budget);
    std::string out;
    out.reserve(doubles.size() * 26);
    PairTiming write = seconds_per_call_pair(
        [&] {
            out.clear();
            for (double d : doubles) {
                kevro::json::write_double(d, out);
                out += ',';
            }
            g_sink = g_sink + out.size();
        },
        [&] {
            out.clear();
            for (double d : doubles) {
                char digits[32];
                out.append(digits,
                           static_cast<std::size_t>(
                               std::to_chars(digits, digits + sizeof digits, d).ptr - digits));
                out += ',';
            }
            g_sink = g_sink + out.size();
        },
        budget);
    std::printf(
        "\ncanada's floats, ns per float: ours, libstdc++, speed ratio ours / libstdc++ (best"
        " rounds; paired median)\n");
    std::printf("%-44s %6.1f %6.1f %5.2fx %5.2fx\n",
                ("read " + std::to_string(slow.size()) + ": digits / std::from_chars").c_str(),
                read.a / slow_count * 1e9, read.b / slow_count * 1e9, read.b / read.a, read.ratio);
    std::printf(
        "%-44s %6.1f %6.1f %5.2fx %5.2fx\n",
        ("write " + std::to_string(doubles.size()) + ": write_double / std::to_chars").c_str(),
        write.a / count * 1e9, write.b / count * 1e9, write.b / write.a, write.ratio);
}

}  // namespace

int main(int argc, char** argv) {
    double budget = argc > 1 ? std::atof(argv[1]) : 0.6;
    std::filesystem::path dir = argc > 2 ? argv[2] : KEVRO_CORPUS_DIR;
    const char* files[] = {"twitter.json", "citm_catalog.json", "canada.json"};
    std::vector<Row> rows;
    std::string canada;
    for (const char* file : files) {
        std::filesystem::path path = dir / file;
        if (!std::filesystem::exists(path)) {
            std::printf("skipped %s: not found in %s\n", file, dir.string().c_str());
            continue;
        }
        std::string text = read_file(path);
        if (std::strcmp(file, "canada.json") == 0) canada = text;
        double mb = static_cast<double>(text.size()) / 1e6;
        Row row{file, 0, 0, 0, 0, 0, 0, 0};

        kevro::json::Value value;
        kevro::json::ParseError error;
        if (!kevro::json::parse(text, value, error)) {
            std::printf("%s: %s\n", file, error.text().c_str());
            return 1;
        }
        rapidjson::Document doc;
        doc.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
        if (doc.HasParseError()) {
            std::printf("%s: RapidJSON refused the file\n", file);
            return 1;
        }
        PairTiming parse = parse_pair(text, budget);
        PairTiming write = seconds_per_call_pair(
            [&] {
                std::string out = kevro::json::write_compact(value);
                g_sink = g_sink + out.size();
            },
            [&] {
                rapidjson::StringBuffer sb;
                rapidjson::Writer<rapidjson::StringBuffer> w(sb);
                doc.Accept(w);
                g_sink = g_sink + sb.GetSize();
            },
            budget);
        row.ours_parse = mb / parse.a;
        row.rapid_parse = mb / parse.b;
        row.parse_ratio = parse.ratio;
        row.ours_write = mb / write.a;
        row.rapid_write = mb / write.b;
        row.write_ratio = write.ratio;
#ifdef KEVRO_BENCH_SIMDJSON
        simdjson::padded_string padded(text);
        simdjson::dom::parser parser;
        row.simd_parse = mb / seconds_per_call(
                                  [&] {
                                      simdjson::dom::element e;
                                      auto err = parser.parse(padded).get(e);
                                      g_sink = g_sink + static_cast<std::size_t>(err);
                                  },
                                  budget);
#endif
        rows.push_back(row);
    }

    // Small texts, as the module parses them (one partition key, one converted dict).
    std::printf("\nsmall texts, ns per parse: ours, RapidJSON, speed ratio ours / RapidJSON\n");
    for (const char* small : {"\"north\"", "[1, 2.5, \"x\"]",
                              "{\"region\": \"north\", \"limit\": 10, \"tags\": [\"a\", \"b\"]}"}) {
        PairTiming t = parse_pair(small, budget / 4);
        std::printf("%-52s %7.0f %7.0f %6.2fx\n", small, t.a * 1e9, t.b * 1e9, t.ratio);
    }

    if (!canada.empty()) compare_float_conversions(canada, budget);

    if (rows.empty()) {
        std::printf("no corpus files found; nothing measured\n");
        return 0;
    }

    std::printf("\nJSON throughput in MB/s of input text (best of rounds, one thread)\n");
    std::printf("%-18s %7s %9s %6s %6s %9s | %7s %9s %6s %6s\n", "file", "parse", "rapidjson",
                "ratio", "paired", "simdjson", "write", "rapidjson", "ratio", "paired");
    for (const Row& r : rows) {
        std::printf("%-18s %7.0f %9.0f %5.2fx %5.2fx %9.0f | %7.0f %9.0f %5.2fx %5.2fx\n",
                    r.name.c_str(), r.ours_parse, r.rapid_parse, r.ours_parse / r.rapid_parse,
                    r.parse_ratio, r.simd_parse, r.ours_write, r.rapid_write,
                    r.ours_write / r.rapid_write, r.write_ratio);
    }
    std::printf(
        "(MB/s: the best round of each; ratio: ours / RapidJSON from those; paired: the"
        " median of that ratio over adjacent pairs of rounds, steadier on a busy machine;"
        " simdjson parse for scale%s)\n",
#ifdef KEVRO_BENCH_SIMDJSON
        ""
#else
        ", not built"
#endif
    );
    std::printf("memcpy, one core: %.1f GB/s\n", memcpy_gb_per_s(budget));
    return 0;
}
