// The JSON parser: one pass over the text with an explicit stack of at most 127 open
// containers, so that no input can drive recursion. Completed values wait on one shared value
// stack (and keys on a key stack) until their container closes.
#include "json/parser.h"

#include "json/powers_of_five.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>
#include <vector>

namespace kevro::json {

namespace detail {
struct Access {
    static Members& members(Object& o) noexcept { return o.members_; }
    /// Makes `v` an empty string and returns it, for the parser to fill in place.
    static String& make_string(Value& v) noexcept {
        v.destroy();
        new (&v.s_) String();
        v.kind_ = Value::Kind::string;
        return v.s_;
    }
};
}  // namespace detail

namespace {

using Code = ParseError::Code;

constexpr std::size_t kMaxDepth = 127;

// Bytes that a string copies as they are without looking further: printable ASCII other than
// the double quote and the backslash.
constexpr std::array<bool, 256> make_plain_table() {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = true;
    t['"'] = false;
    t['\\'] = false;
    return t;
}
constexpr std::array<bool, 256> kPlain = make_plain_table();

inline bool is_ws(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

/// The value of a hex digit, or -1.
inline int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/// The length of the UTF-8 sequence at `p` when it is well-formed (no overlong forms, no
/// surrogates, nothing above U+10FFFF); 0 when it is malformed; -1 when the text ends inside
/// a sequence that is well-formed so far.
inline int utf8_length(const unsigned char* p, const unsigned char* end) noexcept {
    unsigned char c = p[0];
    if (std::endian::native == std::endian::little && end - p >= 4) {
        // The common two- and three-byte forms, their continuation bytes tested together.
        std::uint32_t w;
        std::memcpy(&w, p, sizeof w);
        if ((c & 0xF0) == 0xE0 && c != 0xE0 && c != 0xED) {
            return (w & 0xC0C000) == 0x808000 ? 3 : 0;
        }
        if ((c & 0xE0) == 0xC0 && c >= 0xC2) return (w & 0xC000) == 0x8000 ? 2 : 0;
    }
    int len;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (end - p >= len) {
        // The whole sequence is there: no need to watch for the end.
        if (p[1] < lo || p[1] > hi) return 0;
        if (len > 2 && (p[2] & 0xC0) != 0x80) return 0;
        if (len > 3 && (p[3] & 0xC0) != 0x80) return 0;
        return len;
    }
    for (int i = 1; i < len; ++i) {
        if (p + i == end) return -1;
        unsigned char b = p[i];
        if (i == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    }
    return len;
}

void append_utf8(std::uint32_t cp, std::string& out) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        char b[2] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 2);
    } else if (cp < 0x10000) {
        char b[3] = {static_cast<char>(0xE0 | (cp >> 12)),
                     static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 3);
    } else {
        char b[4] = {
            static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
            static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(b, 4);
    }
}

constexpr std::uint64_t kOnes = 0x0101010101010101;
constexpr std::uint64_t kHighBits = 0x8080808080808080;

inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

/// The high bit of each byte of `x` that a string cannot copy blindly (a control character, the
/// double quote, the backslash, or a non-ASCII byte), exact up to the first such byte.
inline std::uint64_t string_stops(std::uint64_t x) noexcept {
    std::uint64_t quote = x ^ (kOnes * '"');
    std::uint64_t backslash = x ^ (kOnes * '\\');
    // (v - 1) & ~v marks a zero byte; borrows only run upwards, so the lowest mark is exact.
    std::uint64_t control = (x - kOnes * 0x20) & ~x;
    return (control | ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | x) &
           kHighBits;
}

/// How many of the eight bytes of `x` in memory order (little-endian) are decimal digits
/// before the first other byte.
inline int leading_digits(std::uint64_t x) noexcept {
    // A digit is 0x30 to 0x39: its high half is 3, and adding 6 leaves it 3. A carry out of a
    // byte comes only from a byte that is no digit, and reaches only bytes after it.
    std::uint64_t other =
        ((x & (kOnes * 0xF0)) | (((x + kOnes * 0x06) & (kOnes * 0xF0)) >> 4)) ^ (kOnes * 0x33);
    return std::countr_zero(other) >> 3;
}

constexpr std::uint64_t kIntegerPowersOfTen[] = {1,      10,      100,      1000,     10000,
                                                 100000, 1000000, 10000000, 100000000};

/// The value of the eight decimal digits that `x` holds in memory order (little-endian).
inline std::uint64_t eight_digit_value(std::uint64_t x) noexcept {
    x -= kOnes * '0';
    x = x * 10 + (x >> 8);  // pairs of digits in every other byte
    constexpr std::uint64_t kLow = 0x000000FF000000FFu;
    return ((x & kLow) * (100 + (std::uint64_t{1000000} << 32)) +
            ((x >> 16) & kLow) * (1 + (std::uint64_t{10000} << 32))) >>
           32;
}

/// Gathers the digits at p (up to eight at a time, while at least eight bytes remain and
/// `counted` digits leave room for eight more in 64 bits) into `mantissa`; returns how many.
inline int gather_digits(const char* p, const char* end, std::ptrdiff_t counted,
                         std::uint64_t& mantissa) noexcept {
    int taken = 0;
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8 && counted + taken <= 11) {
            std::uint64_t x = load8(p);
            int k = leading_digits(x);
            if (k == 0) break;
            if (k < 8) {
                // The k digits go last, after 8 - k zero digits.
                x = (x << (64 - 8 * k)) | ((kOnes * '0') >> (8 * k));
            }
            mantissa = mantissa * kIntegerPowersOfTen[k] + eight_digit_value(x);
            taken += k;
            p += k;
            if (k < 8) break;
        }
    }
    return taken;
}

// The powers of ten that doubles hold exactly.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The 128-bit integer of g++ and clang (x86-64 multiplies 64 by 64 bits into 128 natively).
__extension__ typedef unsigned __int128 Uint128;

/// The nearest double to w * 10^q (w non-zero, 0 < w < 2^64), by multiplying the normalised
/// significand with a 128-bit approximation of 5^q (Eisel and Lemire's method). Returns false
/// in the rare case that the approximation cannot decide the rounding; the caller then takes
/// the exact route. An overflow gives infinity, an underflow zero.
bool nearest_double(std::uint64_t w, std::int64_t q, bool negative, double& out) noexcept {
    std::uint64_t bits;
    if (q < detail::kSmallestPowerOfFive) {
        bits = 0;
    } else if (q > 308) {  // beyond the largest double whatever w is
        bits = std::uint64_t{0x7FF} << 52;
    } else {
        // Step 1: the top 128 bits of the normalised significand times 5^q; the low word is
        // needed only when the high word's rounding bits are all ones.
        int lz = std::countl_zero(w);
        w <<= lz;
        const std::uint64_t* power = detail::kPowersOfFive[q - detail::kSmallestPowerOfFive];
        Uint128 product = static_cast<Uint128>(w) * power[0];
        auto high = static_cast<std::uint64_t>(product >> 64);
        auto low = static_cast<std::uint64_t>(product);
        if ((high & 0x1FF) == 0x1FF) {
            auto second = static_cast<std::uint64_t>((static_cast<Uint128>(w) * power[1]) >> 64);
            low += second;
            if (second > low) ++high;
            if (low == ~std::uint64_t{0} && (q < -27 || q > 55)) return false;
        }
        // Step 2: 54 bits of significand (one for rounding) and the binary exponent.
        int upper = static_cast<int>(high >> 63);
        std::uint64_t mantissa = high >> (upper + 9);
        std::int64_t power2 = ((217706 * q) >> 16) + 63 + upper - lz + 1023;
        if (power2 <= 0) {
            // Subnormal, or zero when even the rounding bit is gone.
            if (-power2 + 1 >= 64) {
                bits = 0;
            } else {
                mantissa >>= -power2 + 1;
                mantissa += mantissa & 1;
                mantissa >>= 1;
                bits = mantissa;  // a carry into bit 52 makes it the smallest normal
            }
        } else {
            // Step 3: round half to even. An exact halfway product can only arise for small
            // exponents; then the bit below the rounding bit must not round up.
            if (low <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 &&
                (mantissa << (upper + 9)) == high) {
                mantissa &= ~std::uint64_t{1};
            }
            mantissa += mantissa & 1;
            mantissa >>= 1;
            if (mantissa >= (std::uint64_t{2} << 52)) {
                mantissa = std::uint64_t{1} << 52;
                ++power2;
            }
            mantissa &= ~(std::uint64_t{1} << 52);
            if (power2 >= 0x7FF) {
                bits = std::uint64_t{0x7FF} << 52;
            } else {
                bits = mantissa | (static_cast<std::uint64_t>(power2) << 52);
            }
        }
    }
    if (negative) bits |= std::uint64_t{1} << 63;
    std::memcpy(&out, &bits, sizeof out);
    return true;
}

/// Three-way comparison of two keys by their bytes, eight at a time: keys are short, and the
/// neighbours in an object often share a long prefix.
inline int compare_keys(const String& a, const String& b) noexcept {
    std::size_t an = a.size();
    std::size_t bn = b.size();
    std::size_t n = an < bn ? an : bn;
    const char* ad = a.data();
    const char* bd = b.data();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x = load8(ad + i);
        std::uint64_t y = load8(bd + i);
        if (x != y) {
            if constexpr (std::endian::native == std::endian::little) {
                x = __builtin_bswap64(x);
                y = __builtin_bswap64(y);
            }
            return x < y ? -1 : 1;
        }
    }
    for (; i < n; ++i) {
        if (ad[i] != bd[i]) {
            return static_cast<unsigned char>(ad[i]) < static_cast<unsigned char>(bd[i]) ? -1 : 1;
        }
    }
    return an < bn ? -1 : (an > bn ? 1 : 0);
}

/// Three-way comparison of the keys of members i and j, by their prefixes where they differ.
inline int compare_members(const std::vector<std::uint64_t>& prefixes,
                           const std::vector<Member>& members, std::size_t i,
                           std::size_t j) noexcept {
    if (prefixes[i] != prefixes[j]) return prefixes[i] < prefixes[j] ? -1 : 1;
    return compare_keys(members[i].key, members[j].key);
}

/// The decimal exponent of the first non-zero digit of a lexed number text, or nothing when all
/// its digits are zero. The written exponent saturates, so huge exponents cannot overflow.
std::pair<bool, std::int64_t> leading_exponent(const char* p, const char* end) {
    if (*p == '-') ++p;
    std::int64_t pos = 0;  // exponent of the current digit, counted from the first one
    std::int64_t first = 0;
    bool found = false;
    bool fraction = false;
    std::int64_t int_digits = 0;
    for (; p < end && *p != 'e' && *p != 'E'; ++p) {
        if (*p == '.') {
            fraction = true;
            continue;
        }
        if (!fraction) ++int_digits;
        if (!found && *p != '0') {
            found = true;
            first = pos;
        }
        ++pos;
    }
    std::int64_t written = 0;
    if (p < end) {
        ++p;
        bool neg = false;
        if (*p == '+' || *p == '-') neg = *p++ == '-';
        for (; p < end; ++p) {
            if (written < 1'000'000'000) written = written * 10 + (*p - '0');
        }
        if (neg) written = -written;
    }
    return {found, int_digits - 1 - first + written};
}

class Parser {
  public:
    Parser(std::string_view text, ParseError& error)
        : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), error_(error) {}

    bool run(Value& out);

  private:
    // An open container. Its elements or members gather in the scratch vector of its depth,
    // each value parsed in place; the container's own value goes to `slot` when it closes.
    struct Frame {
        bool object;
        bool ordered;  // the keys so far arrived in strictly ascending order
        Value* slot;
    };

    bool fail(Code code, const char* at);
    bool fail_eof(Code code);

    void skip_ws() noexcept {
        const char* p = p_;
        while (p < end_ && is_ws(*p)) {
            ++p;
            // Indentation comes in runs of spaces: eight at a time, up to the first other byte.
            while (end_ - p >= 8) {
                std::uint64_t other = load8(p) ^ (kOnes * ' ');
                if (other != 0) {
                    if constexpr (std::endian::native == std::endian::little) {
                        p += std::countr_zero(other) >> 3;
                    }
                    break;
                }
                p += 8;
            }
        }
        p_ = p;
    }
    bool parse_string(String& out);
    bool parse_escape(std::string& out);
    bool parse_hex4(std::uint32_t& cp);
    Value* parse_key(Frame& frame);
    bool parse_number(Value& slot);
    bool parse_literal(const char* word, std::size_t n);
    void close_array();
    void close_object();
    const std::vector<std::uint32_t>& key_order(const std::vector<Member>& items,
                                                const std::vector<std::uint64_t>& prefixes);

    const char* begin_;
    const char* p_;
    const char* end_;
    ParseError& error_;
    std::size_t depth_ = 0;
    std::array<Frame, kMaxDepth> frames_;  // written before they are read
    // Per depth: the elements or members of the container open there, which keep their room
    // for the next container at that depth; a closing container copies them into a block of
    // its exact size. (They grow with the depth reached, so that small texts stay cheap.)
    std::vector<std::vector<Value>> elements_;
    std::vector<std::vector<Member>> members_;
    std::vector<std::vector<std::uint64_t>> prefixes_;  // of the keys in members_
    std::vector<std::uint32_t> order_;  // scratch for putting an object's members in key order
    // By member count: the key orders of the last few objects of that many members that came
    // out of order (objects of a few shapes tend to repeat, the records of a list).
    std::vector<std::vector<std::vector<std::uint32_t>>> shapes_;
    std::string unescaped_;  // a string with escapes, decoded
};

bool Parser::fail(Code code, const char* at) {
    // A malformed UTF-8 sequence where a token was expected is reported as such.
    const auto* u = reinterpret_cast<const unsigned char*>(at);
    if (at < end_ && *u >= 0x80 &&
        utf8_length(u, reinterpret_cast<const unsigned char*>(end_)) <= 0) {
        code = Code::invalid_utf8;
    }
    error_.code = code;
    error_.offset = static_cast<std::size_t>(at - begin_);
    const char* line_start = begin_;
    std::size_t line = 1;
    for (const char* q = begin_; q < at; ++q) {
        if (*q == '\n') {
            ++line;
            line_start = q + 1;
        }
    }
    error_.line = line;
    error_.column = static_cast<std::size_t>(at - line_start) + 1;
    return false;
}

bool Parser::fail_eof(Code code) {
    // The end of the text is reported at the last character before it (column 0 on an empty
    // last line).
    fail(code, end_);
    error_.column -= 1;
    return false;
}

bool Parser::parse_hex4(std::uint32_t& cp) {
    cp = 0;
    for (int i = 0; i < 4; ++i) {
        if (p_ == end_) return fail_eof(Code::eof_string);
        int h = hex_value(*p_);
        if (h < 0) return fail(Code::invalid_escape, p_);
        cp = (cp << 4) | static_cast<std::uint32_t>(h);
        ++p_;
    }
    return true;
}

bool Parser::parse_escape(std::string& out) {
    // p_ is at the backslash.
    ++p_;
    if (p_ == end_) return fail_eof(Code::eof_string);
    char c = *p_;
    switch (c) {
        case '"':
        case '\\':
        case '/':
            out.push_back(c);
            break;
        case 'b':
            out.push_back('\b');
            break;
        case 'f':
            out.push_back('\f');
            break;
        case 'n':
            out.push_back('\n');
            break;
        case 'r':
            out.push_back('\r');
            break;
        case 't':
            out.push_back('\t');
            break;
        case 'u': {
            ++p_;
            std::uint32_t cp;
            if (!parse_hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(Code::lone_surrogate, p_ - 1);
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // A leading surrogate must be followed at once by the escape of a trailing one.
                if (p_ == end_) return fail_eof(Code::eof_string);
                if (*p_ != '\\') return fail(Code::unexpected_end_of_hex, p_);
                ++p_;
                if (p_ == end_) return fail_eof(Code::eof_string);
                if (*p_ != 'u') return fail(Code::unexpected_end_of_hex, p_);
                ++p_;
                std::uint32_t low;
                if (!parse_hex4(low)) return false;
                if (low < 0xDC00 || low > 0xDFFF) return fail(Code::lone_surrogate, p_ - 1);
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            append_utf8(cp, out);
            return true;
        }
        default:
            return fail(Code::invalid_escape, p_);
    }
    ++p_;
    return true;
}

bool Parser::parse_string(String& out) {
    // p_ is at the opening quote. A string without escapes is taken from the text in one go;
    // one with escapes is decoded into a scratch buffer first. The cursor lives in a local so
    // that the scanning loops keep it in a register.
    const char* p = p_ + 1;
    const char* const end = end_;
    const char* run = p;
    bool escaped = false;
    for (;;) {
        // Eight bytes at a time while they are plain; the last few byte by byte.
        if (std::endian::native == std::endian::little && end - p >= 8) {
            std::uint64_t stops = string_stops(load8(p));
            if (stops == 0) {
                p += 8;
                continue;
            }
            p += std::countr_zero(stops) >> 3;
        } else {
            while (p < end && kPlain[static_cast<unsigned char>(*p)]) ++p;
            if (p == end) return fail_eof(Code::eof_string);
        }
        auto c = static_cast<unsigned char>(*p);
        if (c == '"') {
            auto tail = std::string_view(run, static_cast<std::size_t>(p - run));
            if (escaped) {
                unescaped_.append(tail);
                out = String(unescaped_);
            } else {
                out = String(tail, end);
            }
            p_ = p + 1;
            return true;
        }
        if (c >= 0x80) {
            // Non-ASCII text tends to come in runs of characters.
            do {
                int len = utf8_length(reinterpret_cast<const unsigned char*>(p),
                                      reinterpret_cast<const unsigned char*>(end));
                if (len < 0) return fail_eof(Code::eof_string);
                if (len == 0) return fail(Code::invalid_utf8, p);
                p += len;
            } while (p < end && static_cast<unsigned char>(*p) >= 0x80);
            continue;
        }
        if (c == '\\') {
            if (!escaped) {
                unescaped_.clear();
                escaped = true;
            }
            unescaped_.append(run, static_cast<std::size_t>(p - run));
            p_ = p;
            if (!parse_escape(unescaped_)) return false;
            p = run = p_;
            continue;
        }
        return fail(Code::control_character, p);
    }
}

Value* Parser::parse_key(Frame& frame) {
    // p_ is where a key must start; on success it is past the colon, and the result is the
    // slot of the member's value.
    if (*p_ != '"') {
        fail(Code::key_must_be_string, p_);
        return nullptr;
    }
    std::vector<Member>& members = members_[depth_ - 1];
    std::vector<std::uint64_t>& prefixes = prefixes_[depth_ - 1];
    Member& m = members.emplace_back();
    if (!parse_string(m.key)) return nullptr;
    prefixes.push_back(m.key.prefix());
    std::size_t n = members.size();
    if (n > 1) frame.ordered &= compare_members(prefixes, members, n - 2, n - 1) < 0;
    skip_ws();
    if (p_ == end_) {
        fail_eof(Code::eof_object);
        return nullptr;
    }
    if (*p_ != ':') {
        fail(Code::expected_colon, p_);
        return nullptr;
    }
    ++p_;
    return &m.value;
}

bool Parser::parse_literal(const char* word, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        if (p_ + i == end_) return fail_eof(Code::eof_value);
        if (p_[i] != word[i]) return fail(Code::expected_ident, p_ + i);
    }
    p_ += n;
    return true;
}

bool Parser::parse_number(Value& slot) {
    // Step 1: lex sign, integer digits, fraction and exponent. Up to nineteen significant
    // digits gather in a 64-bit significand on the way.
    const char* p = p_;
    const char* const end = end_;
    const char* start = p;
    bool neg = false;
    if (*p == '-') {
        neg = true;
        ++p;
        if (p == end) return fail_eof(Code::eof_value);
    }
    std::uint64_t mantissa = 0;
    const char* int_start = p;
    if (*p == '0') {
        ++p;
        if (p < end && is_digit(*p)) return fail(Code::invalid_number, p);
    } else if (is_digit(*p)) {
        p += gather_digits(p, end, 0, mantissa);
        while (p < end && is_digit(*p)) {
            // Digits beyond the nineteenth are looked at again below, only if they matter.
            if (p - int_start < 19) mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
            ++p;
        }
    } else {
        return fail(Code::invalid_number, p);
    }
    std::ptrdiff_t int_digits = p - int_start;
    bool integral = true;
    std::ptrdiff_t frac_digits = 0;  // fraction digits gathered into the significand
    bool exact = int_digits <= 19;   // the significand holds every digit
    if (p < end && *p == '.') {
        integral = false;
        ++p;
        if (p == end) return fail_eof(Code::eof_value);
        if (!is_digit(*p)) return fail(Code::invalid_number, p);
        if (int_digits <= 11) {
            int taken = gather_digits(p, end, int_digits, mantissa);
            frac_digits = taken;
            p += taken;
        }
        while (p < end && is_digit(*p)) {
            if (int_digits + frac_digits < 19) {
                mantissa = mantissa * 10 + static_cast<std::uint64_t>(*p - '0');
                ++frac_digits;
            } else {
                exact = false;
            }
            ++p;
        }
    }
    std::int64_t exponent = 0;
    if (p < end && (*p == 'e' || *p == 'E')) {
        integral = false;
        ++p;
        if (p == end) return fail_eof(Code::eof_value);
        bool neg_exp = false;
        if (*p == '+' || *p == '-') {
            neg_exp = *p == '-';
            ++p;
            if (p == end) return fail_eof(Code::eof_value);
        }
        if (!is_digit(*p)) return fail(Code::invalid_number, p);
        while (p < end && is_digit(*p)) {
            if (exponent < 100000) exponent = exponent * 10 + (*p - '0');  // saturates
            ++p;
        }
        if (neg_exp) exponent = -exponent;
    }
    p_ = p;

    // Step 2: integers that fit take the unsigned kind, or the signed kind when negative.
    if (integral) {
        bool fits = int_digits < 20;
        if (int_digits == 20) {
            // Twenty digits fit when they stay within 2^64-1 = 18446744073709551615.
            std::uint64_t last = static_cast<std::uint64_t>(int_start[19] - '0');
            fits =
                mantissa < 1844674407370955161u || (mantissa == 1844674407370955161u && last <= 5);
            if (fits) mantissa = mantissa * 10 + last;
        }
        if (fits) {
            constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
            if (!neg) {
                slot = Value::from_u64(mantissa);
                return true;
            }
            if (mantissa == 0) {
                slot = Value::from_double(-0.0);
                return true;
            }
            if (mantissa <= kMinMagnitude) {
                slot = Value::from_i64(mantissa == kMinMagnitude
                                           ? std::numeric_limits<std::int64_t>::min()
                                           : -static_cast<std::int64_t>(mantissa));
                return true;
            }
        }
    }

    // Step 3: everything else is the nearest double. A significand below 2^53 and a power of
    // ten up to 10^22 are both exact doubles, so one multiplication or division rounds
    // correctly. Other significands of up to nineteen digits take the 128-bit route; longer
    // ones, and the rare undecided cases, the exact conversion of std::from_chars.
    std::int64_t scale = exponent - frac_digits;
    if (exact && mantissa <= (std::uint64_t{1} << 53) && scale >= -22 && scale <= 22) {
        auto d = static_cast<double>(mantissa);
        d = scale >= 0 ? d * kPowersOfTen[scale] : d / kPowersOfTen[-scale];
        slot = Value::from_double(neg ? -d : d);
        return true;
    }
    double d = 0;
    if (exact && mantissa != 0 && nearest_double(mantissa, scale, neg, d)) {
        if (d - d != 0) return fail(Code::number_out_of_range, start);
        slot = Value::from_double(d);
        return true;
    }
    auto res = std::from_chars(start, p, d);
    if (res.ec == std::errc::result_out_of_range) {
        // Out of range means infinite or a non-zero value below the smallest subnormal.
        auto [nonzero, exp] = leading_exponent(start, p);
        if (nonzero && exp > 0) return fail(Code::number_out_of_range, start);
        d = neg ? -0.0 : 0.0;
    } else if (res.ec != std::errc() || res.ptr != p) {
        return fail(Code::invalid_number, start);
    }
    slot = Value::from_double(d);
    return true;
}

void Parser::close_array() {
    --depth_;
    std::vector<Value>& items = elements_[depth_];
    Array array;
    if (!items.empty()) {
        array.reserve(items.size());
        for (Value& v : items) array.push_back(std::move(v));
        items.clear();
    }
    *frames_[depth_].slot = Value(std::move(array));
}

const std::vector<std::uint32_t>& Parser::key_order(const std::vector<Member>& items,
                                                    const std::vector<std::uint64_t>& prefixes) {
    // Step 1: an order that sorted one of the last objects of as many members, when the keys
    // that it gives ascend strictly (then it is the one order, and no key repeats).
    // Small objects sort about as fast as an order is checked.
    constexpr std::size_t kSmallestShape = 8;
    constexpr std::size_t kLargestShape = 64;
    std::size_t n = items.size();
    bool cached_size = n >= kSmallestShape && n <= kLargestShape;
    if (cached_size) {
        if (shapes_.size() <= n) shapes_.resize(n + 1);
        for (const std::vector<std::uint32_t>& cached : shapes_[n]) {
            std::size_t i = 1;
            while (i < n && compare_members(prefixes, items, cached[i - 1], cached[i]) < 0) ++i;
            if (i == n) return cached;
        }
    }

    // Step 2: a stable order of the members by key. Insertion sort suits the usual small
    // objects; large ones take std::sort with the position as tie-break.
    order_.resize(n);
    for (std::size_t i = 0; i < n; ++i) order_[i] = static_cast<std::uint32_t>(i);
    if (n <= 32) {
        for (std::size_t i = 1; i < n; ++i) {
            std::uint32_t cur = order_[i];
            std::size_t j = i;
            while (j > 0 && compare_members(prefixes, items, order_[j - 1], cur) > 0) {
                order_[j] = order_[j - 1];
                --j;
            }
            order_[j] = cur;
        }
    } else {
        std::sort(order_.begin(), order_.end(), [&](std::uint32_t a, std::uint32_t b) {
            int c = compare_members(prefixes, items, a, b);
            return c < 0 || (c == 0 && a < b);
        });
    }
    if (!cached_size) return order_;
    // The newest order goes first, in place of the oldest once there are kShapesPerSize.
    constexpr std::size_t kShapesPerSize = 4;
    std::vector<std::vector<std::uint32_t>>& cached = shapes_[n];
    if (cached.size() < kShapesPerSize) cached.emplace_back();
    std::rotate(cached.rbegin(), cached.rbegin() + 1, cached.rend());
    cached.front() = order_;
    return cached.front();
}

void Parser::close_object() {
    --depth_;
    const Frame& f = frames_[depth_];
    std::vector<Member>& items = members_[depth_];
    std::vector<std::uint64_t>& prefixes = prefixes_[depth_];
    std::size_t n = items.size();
    Object object;
    Members& members = detail::Access::members(object);
    members.reserve(n);
    if (f.ordered) {
        for (Member& m : items) members.push_back(std::move(m));
    } else {
        // In key order; of equal keys the last one stays.
        const std::vector<std::uint32_t>& order = key_order(items, prefixes);
        for (std::size_t i = 0; i < n; ++i) {
            std::uint32_t k = order[i];
            if (i + 1 < n && prefixes[order[i + 1]] == prefixes[k] &&
                items[order[i + 1]].key == items[k].key) {
                continue;
            }
            members.push_back(std::move(items[k]));
        }
    }
    items.clear();
    prefixes.clear();
    *f.slot = Value(std::move(object));
}

bool Parser::run(Value& out) {
    Value* slot = &out;  // where the value about to be parsed goes
    for (;;) {
        // A value must start here.
        skip_ws();
        if (p_ == end_) return fail_eof(Code::eof_value);
        switch (*p_) {
            case '[':
            case '{': {
                if (depth_ == kMaxDepth) return fail(Code::recursion_limit, p_);
                bool object = *p_ == '{';
                Frame& frame = frames_[depth_];
                frame = Frame{object, true, slot};
                if (object) {
                    if (members_.size() <= depth_) {
                        members_.resize(depth_ + 1);
                        // Room for the members of a typical record, grown once per parse.
                        members_[depth_].reserve(32);
                        prefixes_.resize(depth_ + 1);
                        prefixes_[depth_].reserve(32);
                    }
                } else if (elements_.size() <= depth_) {
                    elements_.resize(depth_ + 1);
                    elements_[depth_].reserve(32);
                }
                ++depth_;
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_eof(object ? Code::eof_object : Code::eof_list);
                if (*p_ == (object ? '}' : ']')) {
                    ++p_;
                    if (object) {
                        close_object();
                    } else {
                        close_array();
                    }
                    break;
                }
                if (object) {
                    slot = parse_key(frame);
                    if (slot == nullptr) return false;
                } else {
                    slot = &elements_[depth_ - 1].emplace_back();
                }
                continue;
            }
            case '"':
                if (!parse_string(detail::Access::make_string(*slot))) return false;
                break;
            case 'n':
                if (!parse_literal("null", 4)) return false;
                break;
            case 't':
                if (!parse_literal("true", 4)) return false;
                *slot = Value::boolean(true);
                break;
            case 'f':
                if (!parse_literal("false", 5)) return false;
                *slot = Value::boolean(false);
                break;
            case '-':
            case '0':
            case '1':
            case '2':
            case '3':
            case '4':
            case '5':
            case '6':
            case '7':
            case '8':
            case '9':
                if (!parse_number(*slot)) return false;
                break;
            default:
                return fail(Code::expected_value, p_);
        }

        // A value is complete: close the containers that end here, or go on to the next value.
        for (;;) {
            skip_ws();
            if (depth_ == 0) {
                if (p_ != end_) return fail(Code::trailing_characters, p_);
                return true;
            }
            Frame& frame = frames_[depth_ - 1];
            if (p_ == end_) return fail_eof(frame.object ? Code::eof_object : Code::eof_list);
            char c = *p_;
            if (c == ',') {
                ++p_;
                skip_ws();
                if (p_ == end_) return fail_eof(Code::eof_value);
                if (*p_ == (frame.object ? '}' : ']')) return fail(Code::trailing_comma, p_);
                if (frame.object) {
                    slot = parse_key(frame);
                    if (slot == nullptr) return false;
                } else {
                    slot = &elements_[depth_ - 1].emplace_back();
                }
                break;
            }
            if (frame.object) {
                if (c != '}') return fail(Code::expected_object_comma, p_);
                ++p_;
                close_object();
            } else {
                if (c != ']') return fail(Code::expected_list_comma, p_);
                ++p_;
                close_array();
            }
        }
    }
}

}  // namespace

const char* ParseError::message() const noexcept {
    switch (code) {
        case Code::none:
            return "no error";
        case Code::eof_list:
            return "EOF while parsing a list";
        case Code::eof_object:
            return "EOF while parsing an object";
        case Code::eof_string:
            return "EOF while parsing a string";
        case Code::eof_value:
            return "EOF while parsing a value";
        case Code::expected_colon:
            return "expected `:`";
        case Code::expected_list_comma:
            return "expected `,` or `]`";
        case Code::expected_object_comma:
            return "expected `,` or `}`";
        case Code::expected_ident:
            return "expected ident";
        case Code::expected_value:
            return "expected value";
        case Code::invalid_escape:
            return "invalid escape";
        case Code::invalid_number:
            return "invalid number";
        case Code::number_out_of_range:
            return "number out of range";
        case Code::control_character:
            return "control character (\\u0000-\\u001F) found while parsing a string";
        case Code::key_must_be_string:
            return "key must be a string";
        case Code::lone_surrogate:
            return "lone leading surrogate in hex escape";
        case Code::trailing_comma:
            return "trailing comma";
        case Code::trailing_characters:
            return "trailing characters";
        case Code::unexpected_end_of_hex:
            return "unexpected end of hex escape";
        case Code::recursion_limit:
            return "recursion limit exceeded";
        case Code::invalid_utf8:
            return "invalid UTF-8";
    }
    return "unknown error";
}

std::string ParseError::text() const {
    std::string s = message();
    if (line != 0) {
        s += " at line ";
        s += std::to_string(line);
        s += " column ";
        s += std::to_string(column);
    }
    return s;
}

bool parse(std::string_view text, Value& out, ParseError& error) {
    error = ParseError{};
    // The value is built in a fresh tree and handed over only when the whole text was read.
    // Its blocks come from one arena, its first chunk sized after the text.
    detail::Arena arena(std::clamp<std::size_t>(2 * text.size(), 256, std::size_t{64} << 10));
    detail::ArenaScope scope(arena);
    Parser parser(text, error);
    Value result;
    if (parser.run(result)) {
        out = std::move(result);
        return true;
    }
    out = Value();
    return false;
}

namespace detail {
bool decimal_to_double(std::uint64_t w, std::int64_t q, bool negative, double& out) noexcept {
    return nearest_double(w, q, negative, out);
}
}  // namespace detail

}  // namespace kevro::json
