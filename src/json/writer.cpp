// The compact writer: one growing byte buffer, a 256-entry escape table, and the float layout
// built on the shortest round-trip digits of std::to_chars.
#include "json/writer.h"

#include <array>
#include <charconv>
#include <cmath>
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
    void grow(std::size_t n) {
        std::size_t want = len_ + n;
        std::size_t size = out_.size() < 128 ? 128 : out_.size();
        while (size < want) size *= 2;
        out_.resize(size);
    }
    std::string& out_;
    std::size_t len_;
};

void write_string(std::string_view s, Buffer& buf) {
    // At most six bytes of output per input byte, plus the quotes.
    char* p = buf.reserve(s.size() * 6 + 2);
    *p++ = '"';
    const auto* in = reinterpret_cast<const unsigned char*>(s.data());
    const auto* end = in + s.size();
    while (in < end) {
        // Plain runs are copied in one go.
        const unsigned char* run = in;
        while (in < end && kEscape[*in] == 0) ++in;
        if (in != run) {
            std::memcpy(p, run, static_cast<std::size_t>(in - run));
            p += in - run;
            if (in == end) break;
        }
        char e = kEscape[*in];
        *p++ = '\\';
        *p++ = e;
        if (e == 'u') {
            *p++ = '0';
            *p++ = '0';
            *p++ = kHex[*in >> 4];
            *p++ = kHex[*in & 0xF];
        }
        ++in;
    }
    *p++ = '"';
    buf.commit(p);
}

/// Writes the float layout of a finite double at `p` (room for 32 bytes); returns the end.
char* format_double(double d, char* p) {
    if (d == 0) {
        if (std::signbit(d)) *p++ = '-';
        std::memcpy(p, "0.0", 3);
        return p + 3;
    }
    // Step 1: the shortest round-trip digits, as "-d.ddde+XX".
    char sci[32];
    auto res = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
    const char* s = sci;
    const char* s_end = res.ptr;
    if (*s == '-') {
        *p++ = '-';
        ++s;
    }
    char digits[20];
    int n = 0;
    digits[n++] = *s++;
    if (*s == '.') {
        ++s;
        while (*s != 'e') digits[n++] = *s++;
    }
    ++s;  // 'e'
    bool neg_exp = *s == '-';
    ++s;  // the exponent's sign
    int exp = 0;
    while (s < s_end) exp = exp * 10 + (*s++ - '0');
    if (neg_exp) exp = -exp;

    // Step 2: the layout by the decimal exponent of the first digit.
    if (exp >= -5 && exp <= 15) {
        if (n <= exp + 1) {
            // XYZ00.0
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
            for (int i = n; i < exp + 1; ++i) *p++ = '0';
            *p++ = '.';
            *p++ = '0';
        } else if (exp >= 0) {
            // XY.Z
            std::memcpy(p, digits, static_cast<std::size_t>(exp + 1));
            p += exp + 1;
            *p++ = '.';
            std::memcpy(p, digits + exp + 1, static_cast<std::size_t>(n - exp - 1));
            p += n - exp - 1;
        } else {
            // 0.0XYZ
            *p++ = '0';
            *p++ = '.';
            for (int i = 0; i < -exp - 1; ++i) *p++ = '0';
            std::memcpy(p, digits, static_cast<std::size_t>(n));
            p += n;
        }
        return p;
    }
    // X.YZe+123
    *p++ = digits[0];
    if (n > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<std::size_t>(n - 1));
        p += n - 1;
    }
    *p++ = 'e';
    *p++ = exp < 0 ? '-' : '+';
    auto e = std::to_chars(p, p + 4, exp < 0 ? -exp : exp);
    return e.ptr;
}

void write_u64(std::uint64_t u, Buffer& buf) {
    char* p = buf.reserve(20);
    buf.commit(std::to_chars(p, p + 20, u).ptr);
}

void write_i64(std::int64_t i, Buffer& buf) {
    char* p = buf.reserve(21);
    buf.commit(std::to_chars(p, p + 21, i).ptr);
}

void write_value(const Value& v, Buffer& buf) {
    switch (v.kind()) {
        case Value::Kind::null:
            buf.put("null");
            return;
        case Value::Kind::boolean:
            if (v.as_bool()) {
                buf.put("true");
            } else {
                buf.put("false");
            }
            return;
        case Value::Kind::uinteger:
            write_u64(v.as_u64(), buf);
            return;
        case Value::Kind::sinteger:
            write_i64(v.as_i64(), buf);
            return;
        case Value::Kind::real: {
            double d = v.as_double();
            if (!std::isfinite(d)) {
                buf.put("null");
                return;
            }
            char* p = buf.reserve(32);
            buf.commit(format_double(d, p));
            return;
        }
        case Value::Kind::string:
            write_string(v.as_string(), buf);
            return;
        case Value::Kind::array: {
            const Array& a = v.as_array();
            buf.put('[');
            bool first = true;
            for (const Value& e : a) {
                if (!first) buf.put(',');
                first = false;
                write_value(e, buf);
            }
            buf.put(']');
            return;
        }
        case Value::Kind::object: {
            const Object& o = v.as_object();
            buf.put('{');
            bool first = true;
            for (const Member& m : o) {
                if (!first) buf.put(',');
                first = false;
                write_string(m.key, buf);
                buf.put(':');
                write_value(m.value, buf);
            }
            buf.put('}');
            return;
        }
    }
}

}  // namespace

void write_compact(const Value& value, std::string& out) {
    Buffer buf(out);
    write_value(value, buf);
}

std::string write_compact(const Value& value) {
    std::string out;
    out.reserve(128);
    write_compact(value, out);
    return out;
}

void write_double(double d, std::string& out) {
    if (!std::isfinite(d)) {
        out += "null";
        return;
    }
    char tmp[32];
    out.append(tmp, static_cast<std::size_t>(format_double(d, tmp) - tmp));
}

}  // namespace kevro::json
