// kevro-json: reads JSON text on standard input and prints its compact form, or the parse error.
// Used by tests, for fuzz corpora and by people checking what the parser makes of a text.
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "json/parser.h"
#include "json/writer.h"

namespace {

constexpr const char* kUsage =
    "usage: kevro-json [--lines]\n"
    "\n"
    "Reads JSON text from standard input and prints its compact form followed by a line feed\n"
    "(exit status 0), or the parse error on standard error (exit status 1).\n"
    "\n"
    "  --lines  treat each input line as one text and print, per line, \"ok <compact form>\"\n"
    "           or \"error <error text>\"; the exit status is 1 when any line fails\n"
    "  --help   show this help and exit\n";

std::string read_all(std::FILE* f) {
    std::string text;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    return text;
}

int run_whole(const std::string& text) {
    kevro::json::Value value;
    kevro::json::ParseError error;
    if (!kevro::json::parse(text, value, error)) {
        std::string message = error.text() + "\n";
        std::fwrite(message.data(), 1, message.size(), stderr);
        return 1;
    }
    std::string out = kevro::json::write_compact(value);
    out.push_back('\n');
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}

int run_lines(const std::string& text) {
    int status = 0;
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t stop = nl == std::string::npos ? text.size() : nl;
        std::string_view line(text.data() + pos, stop - pos);
        pos = stop + 1;
        kevro::json::Value value;
        kevro::json::ParseError error;
        if (kevro::json::parse(line, value, error)) {
            out += "ok ";
            kevro::json::write_compact(value, out);
        } else {
            out += "error ";
            out += error.text();
            status = 1;
        }
        out.push_back('\n');
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    bool lines = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--lines") == 0) {
            lines = true;
            continue;
        }
        std::fprintf(stderr, "kevro-json: unknown argument '%s'\n%s", argv[i], kUsage);
        return 2;
    }
    std::string text = read_all(stdin);
    if (std::ferror(stdin)) {
        std::fputs("kevro-json: cannot read standard input\n", stderr);
        return 2;
    }
    return lines ? run_lines(text) : run_whole(text);
}
