// The compact writer: one growing byte buffer, a 256-entry escape table, and the float layout
// built on the shortest round-trip digits (Schubfach, on the shared table of powers of five).
#include "json/writer.h"

#include "json/powers_of_five.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <system_error>

namespace kevro::json {

namespace {

// For each byte: 0 when it stands for itself, otherwise the letter after the backslash
// ('u' for the \u00XX form).
constexpr std::array<char, 256> make_escape_table() {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[static_cast<std::size_t>(c)] = 'u';
    t['\b'] = 'b';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\f'] = 'f';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}
constexpr std::array<char, 256> kEscape = make_escape_table();

constexpr char kHex[] = "0123456789abcdef";

/// Appends raw bytes into `out` through a cursor, growing the string off the hot path.
/// The string's size runs ahead of the written length; finish() trims it.
class Buffer {
  public:
    explicit Buffer(std::string& out) : out_(out), len_(out.size()) {}
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    // Trims the room made ahead, also when writing stops on an exception.
    ~Buffer() { out_.resize(len_); }

    /// Makes room for `n` more bytes and returns where they go.
    char* reserve(std::size_t n) {
        if (out_.size() - len_ < n) grow(n);
        return out_.data() + len_;
    }
    void commit(char* end) noexcept { len_ = static_cast<std::size_t>(end - out_.data()); }
    void put(char c) {
        char* p = reserve(1);
        *p = c;
        ++len_;
    }
    void put(const char* s, std::size_t n) {
        char* p = reserve(n);
        std::memcpy(p, s, n);
        len_ += n;
    }
    template <std::size_t N>
    void put(const char (&lit)[N]) {
        put(lit, N - 1);
    }

  private:
    // The string's size runs ahead by as much as is written (at least 128 bytes, at most
    // 16 KiB at a time), so that the bytes that resizing fills in are written soon after,
    // while they are still in the cache; the string's own capacity doubles.
    void grow(std::size_t n) {
        std::size_t step = std::clamp<std::size_t>(len_, 128, 16 * 1024);
        std::size_t size = len_ + (n < step ? step : n);
        // Within the room the string has, as far as it goes.
        if (len_ + n <= out_.capacity()) size = std::min(size, out_.capacity());
        out_.resize(size);
    }
    std::string& out_;
    std::size_t len_;
};

/// The high bit of each byte of `x` that must be escaped (a control character, the double
/// quote or the backslash), exact up to the first such byte.
inline std::uint64_t escape_stops(std::uint64_t x) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    std::uint64_t quote = x ^ (kOnes * '"');
    std::uint64_t backslash = x ^ (kOnes * '\\');
    // (v - 1) & ~v marks a zero byte, v - 0x20 & ~v one below 0x20; borrows only run upwards.
    return ((x - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~x & ~quote & ~backslash &
           (kOnes * 0x80);
}

/// Writes `s` quoted and escaped at `p` (room for 6 bytes per byte of `s` plus 10); returns the
/// end. Plain runs go eight bytes at a time.
char* write_string_at(std::string_view s, char* p) {
    *p++ = '"';
    const char* in = s.data();
    const char* end = in + s.size();
    for (;;) {
        while (std::endian::native == std::endian::little && end - in >= 8) {
            std::uint64_t x;
            std::memcpy(&x, in, sizeof x);
            std::memcpy(p, &x, sizeof x);  // written ahead; what follows a stop is overwritten
            std::uint64_t stops = escape_stops(x);
            if (stops != 0) {
                int plain = std::countr_zero(stops) >> 3;
                in += plain;
                p += plain;
                break;
            }
            in += 8;
            p += 8;
        }
        // The last few bytes, or up to the byte to escape.
        while (in < end && kEscape[static_cast<unsigned char>(*in)] == 0) *p++ = *in++;
        if (in == end) break;
        auto c = static_cast<unsigned char>(*in++);
        char e = kEscape[c];
        *p++ = '\\';
        *p++ = e;
        if (e == 'u') {
            *p++ = '0';
            *p++ = '0';
            *p++ = kHex[c >> 4];
            *p++ = kHex[c & 0xF];
        }
    }
    *p++ = '"';
    return p;
}

/// Room for the text of a string of n bytes, with a few bytes to spare for what follows it
/// (and for the 24 bytes that a short string copies whole).
inline std::size_t string_room(std::size_t n) { return n * 6 + 32; }

/// Writes `s` quoted and escaped at `p` (room as string_room gives); returns the end. A string
/// held inline is tested and copied as its three words: the zero bytes past its size stop the
/// test there when no byte before them needs escaping.
inline char* write_string_at(const String& s, char* p) {
    if (std::endian::native == std::endian::little && s.is_inline()) {
        std::uint64_t w[3];
        std::memcpy(w, s.data(), sizeof w);
        std::size_t n = s.size();
        std::uint64_t stops = escape_stops(w[0]);
        std::size_t first;
        if (stops != 0) {
            first = static_cast<std::size_t>(std::countr_zero(stops) >> 3);
        } else if ((stops = escape_stops(w[1])) != 0) {
            first = 8 + static_cast<std::size_t>(std::countr_zero(stops) >> 3);
        } else {
            // The last byte, the size, is below 0x20: there is a stop in this word.
            first = 16 + static_cast<std::size_t>(std::countr_zero(escape_stops(w[2])) >> 3);
        }
        if (first == n) {
            *p = '"';
            std::memcpy(p + 1, w, sizeof w);
            p[n + 1] = '"';
            return p + n + 2;
        }
    }
    return write_string_at(s.view(), p);
}

// The 128-bit integer of g++ and clang (x86-64 multiplies 64 by 64 bits into 128 natively).
__extension__ typedef unsigned __int128 Uint128;

/// A decimal c * 10^e.
struct Decimal {
    std::uint64_t c;
    int e;
};

/// The top 64 bits of g * cp (g the 128-bit g_hi:g_lo), with the lowest bit set when any bit
/// below them is: rounding to odd keeps what the product lies between.
inline std::uint64_t round_to_odd(std::uint64_t g_hi, std::uint64_t g_lo, std::uint64_t cp) {
    Uint128 x = static_cast<Uint128>(g_lo) * cp;
    Uint128 y = static_cast<Uint128>(g_hi) * cp;
    auto y_lo = static_cast<std::uint64_t>(y);
    std::uint64_t mid = y_lo + static_cast<std::uint64_t>(x >> 64);
    std::uint64_t top = static_cast<std::uint64_t>(y >> 64) + (mid < y_lo ? 1 : 0);
    return top | (mid > 1 ? 1 : 0);
}

/// The shortest decimal that reads back as the positive finite double with these fields, the
/// nearest of equally short ones, by Giulietti's Schubfach method: the double's rounding
/// interval, scaled by a power of ten so that it spans a few units, either holds exactly one
/// multiple of ten (one digit fewer) or one integer, else the scaled double rounds to nearest.
Decimal shortest_decimal(std::uint64_t fraction, int biased_exponent) {
    std::uint64_t c;
    int q;
    if (biased_exponent != 0) {
        c = fraction | (std::uint64_t{1} << 52);
        q = biased_exponent - 1075;
        // Integers below 2^53 are their own shortest digits (trailing zeros go later).
        if (q <= 0 && q > -53 && (c & ((std::uint64_t{1} << -q) - 1)) == 0) return {c >> -q, 0};
    } else {
        c = fraction;
        q = -1074;
    }
    bool even = (c & 1) == 0;
    // The interval below the powers of two is half as wide as above them.
    bool lower_closer = fraction == 0 && biased_exponent > 1;

    // k = floor(log10 of the interval's width), h the shift that puts 4c at the right scale.
    int k = lower_closer ? (q * 315653 - 131237) >> 20 : (q * 315653) >> 20;
    int h = q + ((-k * 1741647) >> 19) + 1;
    // 10^-k rounded up to 128 bits. The table holds 5^-k, which has the same significand; it
    // is rounded up only for -27 <= -k < 0, and exact for 0 <= -k <= 55.
    const std::uint64_t* power = detail::kPowersOfFive[-k - detail::kSmallestPowerOfFive];
    std::uint64_t g_hi = power[0];
    std::uint64_t g_lo = power[1];
    if (-k < -27 || -k > 55) {
        ++g_lo;
        if (g_lo == 0) ++g_hi;
    }

    std::uint64_t vbl = round_to_odd(g_hi, g_lo, (4 * c - 2 + (lower_closer ? 1 : 0)) << h);
    std::uint64_t vb = round_to_odd(g_hi, g_lo, (4 * c) << h);
    std::uint64_t vbr = round_to_odd(g_hi, g_lo, (4 * c + 2) << h);
    // The interval's ends count as inside for an even significand.
    std::uint64_t lower = vbl + (even ? 0 : 1);
    std::uint64_t upper = vbr - (even ? 0 : 1);

    std::uint64_t s = vb / 4;
    if (s >= 10) {
        std::uint64_t sp = s / 10;
        bool up_inside = lower <= 40 * sp;
        bool wp_inside = 40 * sp + 40 <= upper;
        if (up_inside != wp_inside) return {sp + (wp_inside ? 1 : 0), k + 1};
    }
    bool u_inside = lower <= 4 * s;
    bool w_inside = 4 * s + 4 <= upper;
    if (u_inside != w_inside) return {s + (w_inside ? 1 : 0), k};
    std::uint64_t mid = 4 * s + 2;
    bool round_up = vb > mid || (vb == mid && (s & 1) != 0);
    return {s + (round_up ? 1 : 0), k};
}

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

/// The eight decimal digits of v (v < 10^8, leading zeros included) as the bytes of a word in
/// memory order: v splits into halves, pairs and single digits in parallel lanes of one word,
/// dividing by multiplying with scaled reciprocals (exact for the lanes' ranges).
inline std::uint64_t eight_digits(std::uint32_t v) {
    std::uint64_t merged = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
    std::uint64_t hundreds = ((merged * 10486) >> 20) & 0x0000007F0000007Fu;  // lanes / 100
    std::uint64_t pairs = ((merged - 100 * hundreds) << 16) | hundreds;
    std::uint64_t tens = ((pairs * 103) >> 10) & 0x000F000F000F000Fu;  // lanes / 10
    std::uint64_t digits = (((pairs - 10 * tens) << 8) | tens) + 0x3030303030303030u;
    if constexpr (std::endian::native == std::endian::big) digits = __builtin_bswap64(digits);
    return digits;
}

/// The number of zero digits at the end of the eight digits of eight_digits(v) less '0's.
inline int trailing_zero_digits(std::uint64_t values) {
    // The last digit is the highest byte on a little-endian machine; 64 zero bits give 8.
    if constexpr (std::endian::native == std::endian::little) return std::countl_zero(values) >> 3;
    return std::countr_zero(values) >> 3;
}

/// Writes the seventeen decimal digits of v (0 < v < 10^17, leading zeros included) at p and
/// returns how many of them are zeros at the end, counted without a branch on the digits.
inline int write_17_digits(std::uint64_t v, char* p) {
    constexpr std::uint64_t kZeros = 0x3030303030303030u;
    *p = static_cast<char>('0' + v / 10000000000000000u);
    std::uint64_t high = eight_digits(static_cast<std::uint32_t>(v / 100000000 % 100000000));
    std::uint64_t low = eight_digits(static_cast<std::uint32_t>(v % 100000000));
    std::memcpy(p + 1, &high, 8);
    std::memcpy(p + 9, &low, 8);
    int zeros = trailing_zero_digits(low - kZeros);
    return zeros + (zeros == 8 ? trailing_zero_digits(high - kZeros) : 0);
}

constexpr std::array<std::uint64_t, 20> make_powers_of_ten() {
    std::array<std::uint64_t, 20> t{};
    std::uint64_t p = 1;
    for (std::uint64_t& x : t) {
        x = p;
        p *= 10;  // wraps harmlessly after the last
    }
    return t;
}
constexpr std::array<std::uint64_t, 20> kPowersOfTen = make_powers_of_ten();

/// The number of decimal digits of v (v > 0).
inline int digit_count(std::uint64_t v) {
    // 1233 / 4096 is just above log10(2): a guess that is exact or one short.
    int guess = (64 - std::countl_zero(v)) * 1233 >> 12;
    return guess + (v >= kPowersOfTen[static_cast<std::size_t>(guess)] ? 1 : 0);
}

/// The room that format_double writes into (its text is at most 24 bytes).
constexpr std::size_t kDoubleRoom = 48;

/// Writes the float layout of a finite double at `p` (room for kDoubleRoom bytes); returns
/// the end.
char* format_double(double d, char* p) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    *p = '-';  // kept only for a negative number, without a branch on the sign
    p += bits >> 63;
    auto biased_exponent = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t fraction = bits & ((std::uint64_t{1} << 52) - 1);
    if (biased_exponent == 0 && fraction == 0) {
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    // Step 1: the shortest digits, without trailing zeros, and the exponent of the first. The
    // seventeen digits of the significand are written with leading zeros, and the digits
    // proper are their last n.
    Decimal dec = shortest_decimal(fraction, biased_exponent);
    char buffer[48];  // room for the fixed-size copies below
    int zeros = write_17_digits(dec.c, buffer);
    int n = digit_count(dec.c);
    const char* digits = buffer + 17 - n;
    n -= zeros;
    dec.e += zeros;
    int exp = dec.e + n - 1;

    // Step 2: the layout by the decimal exponent of the first digit. The copies move a fixed
    // 16 or 20 bytes (digits and room are padded for that) and the cursor advances by what
    // counts; at most 17 digits, 15 before the point.
    if (exp >= -5 && exp <= 15) {
        if (n <= exp + 1) {
            // XYZ00.0
            std::memcpy(p, digits, 16);
            std::memset(p + n, '0', 16);
            p += exp + 1;
            std::memcpy(p, ".0", 2);
            return p + 2;
        }
        if (exp >= 0) {
            // XY.Z
            std::memcpy(p, digits, 16);
            p[exp + 1] = '.';
            std::memcpy(p + exp + 2, digits + exp + 1, 16);
            return p + n + 1;
        }
        // 0.0XYZ
        std::memcpy(p, "0.0000", 6);
        p += 1 - exp;
        std::memcpy(p, digits, 20);
        return p + n;
    }
    // X.YZe+123
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, 16);
        p += n - 1;
    }
    *p++ = 'e';
    *p++ = exp < 0 ? '-' : '+';
    int magnitude = exp < 0 ? -exp : exp;
    if (magnitude >= 100) {
        *p++ = static_cast<char>('0' + magnitude / 100);
        magnitude %= 100;
        std::memcpy(p, kDigitPairs + 2 * magnitude, 2);
        return p + 2;
    }
    if (magnitude >= 10) {
        std::memcpy(p, kDigitPairs + 2 * magnitude, 2);
        return p + 2;
    }
    *p++ = static_cast<char>('0' + magnitude);
    return p;
}

/// The room that write_u64_at writes into.
constexpr std::size_t kIntegerRoom = 24;

/// Writes the decimal digits of u at `p` (room for kIntegerRoom bytes); returns the end. Below
/// 10^8, the most common integers, the digits are one word written whole.
inline char* write_u64_at(std::uint64_t u, char* p) {
    if (u < 10) {
        *p = static_cast<char>('0' + u);
        return p + 1;
    }
    if (std::endian::native == std::endian::little && u < 100000000) {
        int n = digit_count(u);
        // The leading zeros are the low bytes of the word: shifted out.
        std::uint64_t digits = eight_digits(static_cast<std::uint32_t>(u)) >> (8 * (8 - n));
        std::memcpy(p, &digits, 8);
        return p + n;
    }
    return std::to_chars(p, p + kIntegerRoom, u).ptr;
}

/// The room that write_scalar_at takes for a value other than a string, array or object.
constexpr std::size_t kScalarRoom = kDoubleRoom > kIntegerRoom + 1 ? kDoubleRoom : kIntegerRoom + 1;

inline bool is_container(const Value& v) {
    return v.kind() == Value::Kind::array || v.kind() == Value::Kind::object;
}

/// The room that write_scalar_at takes for `v` (not an array or object).
inline std::size_t scalar_room(const Value& v) {
    return v.kind() == Value::Kind::string ? string_room(v.as_string_ref().size()) : kScalarRoom;
}

/// Writes `v`, which is not an array or object, at `p` (room as scalar_room gives); returns
/// the end.
inline char* write_scalar_at(const Value& v, char* p) {
    switch (v.kind()) {
        case Value::Kind::boolean:
            if (v.as_bool()) {
                std::memcpy(p, "true", 4);
                return p + 4;
            }
            std::memcpy(p, "false", 5);
            return p + 5;
        case Value::Kind::uinteger:
            return write_u64_at(v.as_u64(), p);
        case Value::Kind::sinteger: {
            std::int64_t i = v.as_i64();
            if (i >= 0) return write_u64_at(static_cast<std::uint64_t>(i), p);
            *p = '-';
            // The magnitude of the most negative value too, in unsigned arithmetic.
            return write_u64_at(std::uint64_t{0} - static_cast<std::uint64_t>(i), p + 1);
        }
        case Value::Kind::real: {
            double d = v.as_double();
            if (std::isfinite(d)) return format_double(d, p);
            break;
        }
        case Value::Kind::string:
            return write_string_at(v.as_string_ref(), p);
        default:
            break;
    }
    std::memcpy(p, "null", 4);
    return p + 4;
}

void write_value(const Value& v, Buffer& buf) {
    if (!is_container(v)) {
        buf.commit(write_scalar_at(v, buf.reserve(scalar_room(v))));
        return;
    }
    // Each element goes out with the byte before it (the opening bracket, then commas) in one
    // reservation, and a scalar one with it.
    if (v.kind() == Value::Kind::array) {
        const Array& a = v.as_array();
        if (a.empty()) {
            buf.put("[]");
            return;
        }
        char before = '[';
        for (const Value& e : a) {
            if (e.kind() == Value::Kind::real && std::isfinite(e.as_double())) {
                // Arrays of floats (coordinates, series) are common: no switch for them.
                char* p = buf.reserve(kDoubleRoom + 1);
                *p = before;
                buf.commit(format_double(e.as_double(), p + 1));
            } else if (is_container(e)) {
                buf.put(before);
                write_value(e, buf);
            } else {
                char* p = buf.reserve(scalar_room(e) + 1);
                *p = before;
                buf.commit(write_scalar_at(e, p + 1));
            }
            before = ',';
        }
        buf.put(']');
        return;
    }
    const Object& o = v.as_object();
    if (o.empty()) {
        buf.put("{}");
        return;
    }
    char before = '{';
    for (const Member& m : o) {
        const Value& value = m.value;
        bool nested = is_container(value);
        // The byte before, the key, the colon and a scalar value in one reservation.
        char* p = buf.reserve(string_room(m.key.size()) + 2 + (nested ? 0 : scalar_room(value)));
        *p++ = before;
        before = ',';
        p = write_string_at(m.key, p);
        *p++ = ':';
        if (nested) {
            buf.commit(p);
            write_value(value, buf);
        } else {
            buf.commit(write_scalar_at(value, p));
        }
    }
    buf.put('}');
}

}  // namespace

void write_compact(const Value& value, std::string& out) {
    Buffer buf(out);
    write_value(value, buf);
}

std::string write_compact(const Value& value) {
    // Texts written one after another tend to be of a size: room for as much as the last one
    // takes one allocation instead of a chain of doublings, whose freed blocks would heap up at
    // the top of the heap and be given back to the system. A text much smaller than its room
    // gives the rest back. The room stays within 1 MiB, so that one huge text does not make the
    // next small one ask for as much. Only a hint, shared by all threads.
    static std::atomic<std::size_t> last_size{0};
    std::size_t last = last_size.load(std::memory_order_relaxed);
    std::string out;
    out.reserve(std::clamp<std::size_t>(last + last / 16, 128, std::size_t{1} << 20));
    write_compact(value, out);
    last_size.store(out.size(), std::memory_order_relaxed);
    if (out.capacity() > 2 * out.size() + 256) out.shrink_to_fit();
    return out;
}

void write_double(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char tmp[kDoubleRoom];
    out.append(tmp, static_cast<std::size_t>(format_double(d, tmp) - tmp));
}

}  // namespace kevro::json
