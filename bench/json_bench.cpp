// JSON parse and write throughput on the shared corpus, side by side with RapidJSON (DOM with
// full-precision floats, and its Writer) and, for scale, simdjson's DOM parse; plus one core's
// memcpy bandwidth. Ours and the reference run in alternating rounds of about 20 ms: each
// throughput is the best round; the ratio is given from those and as the median over adjacent
// pairs of rounds.
// Usage: kevro_json_bench [seconds per figure, default 0.6] [corpus directory]
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifdef KEVRO_BENCH_SIMDJSON
#include <simdjson.h>
#endif

#include "json/parser.h"
#include "json/writer.h"

namespace {

using Clock = std::chrono::steady_clock;

// Keeps results alive so that the compiler cannot drop the measured work.
volatile std::size_t g_sink = 0;

/// Seconds per call of `fn` over one round of at least `round` seconds.
template <typename Fn>
double one_round(Fn&& fn, double round) {
    int calls = 0;
    auto start = Clock::now();
    double elapsed;
    do {
        fn();
        ++calls;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < round);
    return elapsed / calls;
}

/// Seconds per call of `fn`: the best of rounds of about 50 ms each within `budget` seconds.
template <typename Fn>
double seconds_per_call(Fn&& fn, double budget) {
    fn();  // warm-up
    double best = 1e30;
    auto start = Clock::now();
    do {
        best = std::min(best, one_round(fn, 0.05));
    } while (std::chrono::duration<double>(Clock::now() - start).count() < budget);
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
    a();  // warm-up
    b();
    double best_a = 1e30, best_b = 1e30;
    std::vector<double> ratios;
    auto start = Clock::now();
    do {
        double ta = one_round(a, 0.02);
        double tb = one_round(b, 0.02);
        best_a = std::min(best_a, ta);
        best_b = std::min(best_b, tb);
        ratios.push_back(tb / ta);
    } while (std::chrono::duration<double>(Clock::now() - start).count() < 2 * budget ||
             ratios.size() < 5);
    std::sort(ratios.begin(), ratios.end());
    return {best_a, best_b, ratios[ratios.size() / 2]};
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

}  // namespace

int main(int argc, char** argv) {
    double budget = argc > 1 ? std::atof(argv[1]) : 0.6;
    std::filesystem::path dir = argc > 2 ? argv[2] : KEVRO_CORPUS_DIR;
    const char* files[] = {"twitter.json", "citm_catalog.json", "canada.json"};
    std::vector<Row> rows;
    for (const char* file : files) {
        std::filesystem::path path = dir / file;
        if (!std::filesystem::exists(path)) {
            std::printf("skipped %s: not found in %s\n", file, dir.string().c_str());
            continue;
        }
        std::string text = read_file(path);
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
        PairTiming parse = seconds_per_call_pair(
            [&] {
                kevro::json::Value v;
                kevro::json::parse(text, v, error);
                g_sink = g_sink + static_cast<std::size_t>(v.kind());
            },
            [&] {
                rapidjson::Document d;
                d.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
                g_sink = g_sink + d.MemberCount();
            },
            budget);
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
        std::string text(small);
        kevro::json::ParseError error;
        PairTiming t = seconds_per_call_pair(
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
            budget / 4);
        std::printf("%-52s %7.0f %7.0f %6.2fx\n", small, t.a * 1e9, t.b * 1e9, t.ratio);
    }

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
