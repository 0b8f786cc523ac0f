// The text is written in one pass into a reused scratch buffer of one character width (1, 2 or
// 4 bytes), then copied into a str of the narrowest width its characters allow, as every str
// must be. A string wider than the buffer starts the pass again at that width; the width the
// last text needed is where the next one starts.
//
// Nothing here runs Python code (no comparison, hash, attribute lookup, call or deallocation of
// a user object), so the borrowed items of the containers walked stay valid throughout.
#include "runtime/json_text.hpp"

#include "runtime/layout.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace rt {

namespace {

// How deep the encoder goes itself; deeper content is left to json.dumps.
constexpr int kMaxDepth = 512;
// The frames json.dumps spends above the content's own nesting, with room to spare: content
// taken here is content json.dumps would encode without reaching the recursion limit.
constexpr int kRecursionMargin = 50;
// Scratch space larger than this is given back after the text is made.
constexpr size_t kKeptScratch = size_t{1} << 18;

struct Scratch {
    void* data = nullptr;
    size_t bytes = 0;
};
Scratch scratch;  // process-wide, as module/init.cpp lists

// Width of the buffer the last text was written in.
int width_hint = 1;

bool plain_char(Py_UCS4 c) { return c >= 0x20 && c != '"' && c != '\\'; }

// Lays out `count` significant digits with `point` of them before the decimal point (negative:
// zeros after it first) as float.__repr__ does: fixed notation while the decimal exponent
// (point - 1) lies from -4 to 15, otherwise d.ddde+XX with at least two exponent digits.
char* float_layout(const char* digits, int count, int point, char* o) {
    if (point <= -4 || point > 16) {
        *o++ = digits[0];
        if (count > 1) {
            *o++ = '.';
            std::memcpy(o, digits + 1, count - 1);
            o += count - 1;
        }
        const int exp = point - 1;
        *o++ = 'e';
        *o++ = exp < 0 ? '-' : '+';
        const int magnitude = exp < 0 ? -exp : exp;
        if (magnitude < 10) *o++ = '0';
        return std::to_chars(o, o + 4, magnitude).ptr;
    }
    if (point <= 0) {
        *o++ = '0';
        *o++ = '.';
        for (int i = point; i < 0; ++i) *o++ = '0';
        std::memcpy(o, digits, count);
        return o + count;
    }
    if (point < count) {
        std::memcpy(o, digits, point);
        o += point;
        *o++ = '.';
        std::memcpy(o, digits + point, count - point);
        return o + count - point;
    }
    std::memcpy(o, digits, count);
    o += count;
    for (int i = count; i < point; ++i) *o++ = '0';
    *o++ = '.';
    *o++ = '0';
    return o;
}

// For |v| = m / 10^k with m below 10^15 and k at most 8, m and k (m without trailing zeros when
// k > 0). Two decimals of 15 significant digits or fewer lie further apart than any double's
// rounding interval is wide, so such a decimal is the only one that short reading back as v:
// it is repr's, found without the shortest-digits search.
bool short_decimal(double magnitude, uint64_t& m, int& k) {
    static constexpr double kPowers[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8};
    if (!(magnitude >= 1e-8 && magnitude < 1e15)) return false;
    for (int e = 0; e < 9; ++e) {
        const double scaled = magnitude * kPowers[e];
        if (scaled >= 1e15) return false;
        const double whole = static_cast<double>(static_cast<int64_t>(scaled + 0.5));
        if (whole / kPowers[e] == magnitude) {
            m = static_cast<uint64_t>(whole);
            k = e;
            return true;
        }
    }
    return false;
}

// repr(v) for a finite float: the shortest digits that read back as v, laid out by float_layout.
int float_repr(double v, char* out) {
    char* o = out;
    if (std::signbit(v)) *o++ = '-';
    uint64_t m;
    int k;
    if (short_decimal(std::fabs(v), m, k)) {
        char digits[24];
        const int count = static_cast<int>(std::to_chars(digits, digits + sizeof digits, m).ptr - digits);
        return static_cast<int>(float_layout(digits, count, count - k, o) - out);
    }
    char sci[40];
    const char* end = std::to_chars(sci, sci + sizeof sci, std::fabs(v), std::chars_format::scientific).ptr;
    char digits[24];
    int count = 0;
    const char* p = sci;
    for (; *p != 'e'; ++p)
        if (*p != '.') digits[count++] = *p;
    ++p;
    const bool negative_exp = *p++ == '-';
    int exp = 0;
    for (; p < end; ++p) exp = exp * 10 + (*p - '0');
    if (negative_exp) exp = -exp;
    return static_cast<int>(float_layout(digits, count, exp + 1, o) - out);
}

#ifdef __SSE2__
// The characters of a 16-byte block of `In` characters that JSON escapes, one bit per byte.
template <typename In>
int special_bytes(__m128i block) {
    __m128i control, quote, backslash;
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(In) == 1) {
        control = _mm_cmpeq_epi8(_mm_and_si128(block, _mm_set1_epi8(static_cast<char>(0xE0))), zero);
        quote = _mm_cmpeq_epi8(block, _mm_set1_epi8('"'));
        backslash = _mm_cmpeq_epi8(block, _mm_set1_epi8('\\'));
    } else if constexpr (sizeof(In) == 2) {
        control = _mm_cmpeq_epi16(_mm_and_si128(block, _mm_set1_epi16(static_cast<short>(0xFFE0))), zero);
        quote = _mm_cmpeq_epi16(block, _mm_set1_epi16('"'));
        backslash = _mm_cmpeq_epi16(block, _mm_set1_epi16('\\'));
    } else {
        control = _mm_cmpeq_epi32(_mm_and_si128(block, _mm_set1_epi32(static_cast<int>(0xFFFFFFE0))), zero);
        quote = _mm_cmpeq_epi32(block, _mm_set1_epi32('"'));
        backslash = _mm_cmpeq_epi32(block, _mm_set1_epi32('\\'));
    }
    return _mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash)));
}

// Stores a 16-byte block of `In` characters as `Char` characters.
template <typename In, typename Char>
void store_block(Char* o, __m128i block) {
    auto* to = reinterpret_cast<__m128i*>(o);
    const __m128i zero = _mm_setzero_si128();
    if constexpr (sizeof(In) == sizeof(Char)) {
        _mm_storeu_si128(to, block);
    } else if constexpr (sizeof(In) == 1 && sizeof(Char) == 2) {
        _mm_storeu_si128(to, _mm_unpacklo_epi8(block, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi8(block, zero));
    } else if constexpr (sizeof(In) == 1 && sizeof(Char) == 4) {
        const __m128i low = _mm_unpacklo_epi8(block, zero), high = _mm_unpackhi_epi8(block, zero);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
    } else {
        static_assert(sizeof(In) == 2 && sizeof(Char) == 4);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(block, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(block, zero));
    }
}

#endif  // __SSE2__

// One pass at one width. `Char` is the buffer's character type.
template <typename Char>
class Encoder {
public:
    enum class Stop { none, wider, give_up };

    explicit Encoder(int max_depth) : max_depth_(max_depth) { take_scratch(); }

    bool value(PyObject* obj, int depth) {
        PyTypeObject* type = Py_TYPE(obj);
        if (type == &PyUnicode_Type) return string(obj);
        if (type == &PyDict_Type) return mapping(obj, depth);
        if (type == &PyList_Type) return sequence(obj, depth);
        if (type == &PyFloat_Type) return real(obj);
        if (type == &PyLong_Type) return integer(obj);
        if (obj == Py_None) return ascii("null", 4);
        if (obj == Py_True) return ascii("true", 4);
        if (obj == Py_False) return ascii("false", 5);
        if (type == &PyTuple_Type) return sequence(obj, depth);
        // Subclasses of str, int and float are written from their value, as json's encoder does.
        if (PyUnicode_Check(obj)) return string(obj);
        if (PyLong_Check(obj)) return integer(obj);
        if (PyFloat_Check(obj)) return real(obj);
        return give_up();
    }

    Stop stop() const { return stop_; }
    int wanted_width() const { return wanted_width_; }

    // The text as a str; null (no exception) if it could not be made.
    Ref finish() {
        Ref text = Ref::steal(PyUnicode_New(length_, max_char_));
        if (!text) {
            PyErr_Clear();
            return {};
        }
        void* data = PyUnicode_DATA(text.get());
        const int kind = PyUnicode_KIND(text.get());
        if (kind == static_cast<int>(sizeof(Char))) {
            std::memcpy(data, out_, static_cast<size_t>(length_) * sizeof(Char));
        } else if (kind == PyUnicode_1BYTE_KIND) {
            narrow(static_cast<Py_UCS1*>(data));
        } else {
            narrow(static_cast<Py_UCS2*>(data));
        }
        return text;
    }

    int needed_width() const { return max_char_ > 0xFFFF ? 4 : max_char_ > 0xFF ? 2 : 1; }

    ~Encoder() {
        if (scratch.bytes > kKeptScratch) {
            PyMem_Free(scratch.data);
            scratch = {};
        }
    }

private:
    Char* out_ = nullptr;
    size_t capacity_ = 0;  // characters
    Py_ssize_t length_ = 0;
    Py_UCS4 max_char_ = 0x7F;
    const int max_depth_;
    Stop stop_ = Stop::none;
    int wanted_width_ = 0;

    void take_scratch() {
        out_ = static_cast<Char*>(scratch.data);
        capacity_ = scratch.bytes / sizeof(Char);
    }

    bool give_up() {
        stop_ = Stop::give_up;
        return false;
    }

    // Room for `more` characters after the text so far.
    bool reserve(size_t more) {
        const size_t needed = static_cast<size_t>(length_) + more;
        if (needed <= capacity_) [[likely]]
            return true;
        size_t capacity = capacity_ * 2 > needed ? capacity_ * 2 : needed;
        if (capacity < 1024) capacity = 1024;
        if (capacity > static_cast<size_t>(PY_SSIZE_T_MAX) / sizeof(Char)) return give_up();
        void* data = PyMem_Realloc(scratch.data, capacity * sizeof(Char));
        if (!data) return give_up();
        scratch = {data, capacity * sizeof(Char)};
        take_scratch();
        return true;
    }

    bool ascii(const char* text, size_t count) {
        if (!reserve(count)) return false;
        Char* o = out_ + length_;
        for (size_t i = 0; i < count; ++i) o[i] = static_cast<Char>(text[i]);
        length_ += static_cast<Py_ssize_t>(count);
        return true;
    }

    bool put(char c) {
        if (!reserve(1)) return false;
        out_[length_++] = static_cast<Char>(c);
        return true;
    }

    // The characters of a string, quoted, with json's escapes: 16 bytes at a time while none is
    // to be escaped.
    template <typename In>
    void escaped(const In* in, Py_ssize_t count) {
        [[maybe_unused]] constexpr Py_ssize_t kLanes = 16 / sizeof(In);
        Char* o = out_ + length_;
        *o++ = '"';
        Py_ssize_t i = 0;
#ifdef __SSE2__
        while (i + kLanes <= count) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
            if (!special_bytes<In>(block)) [[likely]] {
                store_block<In>(o, block);
                o += kLanes;
                i += kLanes;
                continue;
            }
            for (const Py_ssize_t end = i + kLanes; i < end; ++i) o = put_char(o, in[i]);
        }
#endif
        for (; i < count; ++i) o = put_char(o, in[i]);
        *o++ = '"';
        length_ = o - out_;
    }

    static Char* put_char(Char* o, Py_UCS4 c) {
        if (c > '\\' || plain_char(c)) [[likely]] {
            *o = static_cast<Char>(c);
            return o + 1;
        }
        return escape(o, c);
    }

    static Char* escape(Char* o, Py_UCS4 c) {
        static const char hex[] = "0123456789abcdef";
        *o++ = '\\';
        switch (c) {
            case '\\': *o++ = '\\'; break;
            case '"': *o++ = '"'; break;
            case '\b': *o++ = 'b'; break;
            case '\f': *o++ = 'f'; break;
            case '\n': *o++ = 'n'; break;
            case '\r': *o++ = 'r'; break;
            case '\t': *o++ = 't'; break;
            default:
                *o++ = 'u';
                *o++ = '0';
                *o++ = '0';
                *o++ = static_cast<Char>(hex[(c >> 4) & 0xF]);
                *o++ = static_cast<Char>(hex[c & 0xF]);
        }
        return o;
    }

    bool string(PyObject* s) {
        if (PyUnicode_READY(s) < 0) {
            PyErr_Clear();
            return give_up();
        }
        const int kind = PyUnicode_KIND(s);
        if (kind > static_cast<int>(sizeof(Char))) {
            wanted_width_ = kind;
            stop_ = Stop::wider;
            return false;
        }
        if (!PyUnicode_IS_ASCII(s)) {
            const Py_UCS4 top = kind == PyUnicode_1BYTE_KIND ? 0xFF : kind == PyUnicode_2BYTE_KIND ? 0xFFFF : 0x10FFFF;
            if (top > max_char_) max_char_ = top;
        }
        const Py_ssize_t count = PyUnicode_GET_LENGTH(s);
        if (!reserve(static_cast<size_t>(count) * 6 + 2)) return false;
        const void* data = PyUnicode_DATA(s);
        if (kind == PyUnicode_1BYTE_KIND) {
            escaped(static_cast<const Py_UCS1*>(data), count);
        } else if constexpr (sizeof(Char) >= 2) {
            if (kind == PyUnicode_2BYTE_KIND) escaped(static_cast<const Py_UCS2*>(data), count);
            else if constexpr (sizeof(Char) == 4) escaped(static_cast<const Py_UCS4*>(data), count);
        }
        return true;
    }

    // int.__repr__, as json's encoder uses for any int: past the digit limit it raises, and
    // json.dumps is left to raise it.
    bool integer(PyObject* obj) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
        if (!overflow) [[likely]] {
            if (v == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return give_up();
            }
            char digits[24];
            const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
            return ascii(digits, static_cast<size_t>(end - digits));
        }
        Ref text = Ref::steal(PyLong_Type.tp_repr(obj));
        if (!text) {
            PyErr_Clear();
            return give_up();
        }
        return ascii(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get())),
                     static_cast<size_t>(PyUnicode_GET_LENGTH(text.get())));
    }

    bool real(PyObject* obj) {
        const double v = PyFloat_AS_DOUBLE(obj);
        if (std::isnan(v)) return ascii("NaN", 3);
        if (std::isinf(v)) return v > 0 ? ascii("Infinity", 8) : ascii("-Infinity", 9);
        char text[40];
        return ascii(text, static_cast<size_t>(float_repr(v, text)));
    }

    // An exact list or tuple.
    bool sequence(PyObject* seq, int depth) {
        const bool list = Py_IS_TYPE(seq, &PyList_Type);
        const Py_ssize_t count = list ? PyList_GET_SIZE(seq) : PyTuple_GET_SIZE(seq);
        if (count == 0) return ascii("[]", 2);
        if (depth >= max_depth_) return give_up();
        PyObject* const* items = list ? reinterpret_cast<PyListObject*>(seq)->ob_item
                                      : reinterpret_cast<PyTupleObject*>(seq)->ob_item;
        if (!put('[')) return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            if (i && !ascii(", ", 2)) return false;
            if (!value(items[i], depth + 1)) return false;
        }
        return put(']');
    }

    bool mapping(PyObject* dict, int depth) {
        if (PyDict_GET_SIZE(dict) == 0) return ascii("{}", 2);
        if (depth >= max_depth_) return give_up();
        if (!put('{')) return false;
        bool first = true;
        auto item = [&](PyObject* key, PyObject* value) {
            if (!first && !ascii(", ", 2)) return false;
            first = false;
            return this->key(key) && ascii(": ", 2) && this->value(value, depth + 1);
        };
        const int read = rt::each_item(dict, item);
        if (read < 0) {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (PyDict_Next(dict, &pos, &key, &value))
                if (!item(key, value)) return false;
        } else if (read == 0) {
            return false;
        }
        return put('}');
    }

    // A key as json writes it: a str as it is; a float, int, bool or None as the text it would
    // have as a value, quoted. Any other key json refuses.
    bool key(PyObject* key) {
        if (PyUnicode_Check(key)) return string(key);
        if (key == Py_True) return ascii("\"true\"", 6);
        if (key == Py_False) return ascii("\"false\"", 7);
        if (key == Py_None) return ascii("\"null\"", 6);
        if (PyFloat_Check(key)) return put('"') && real(key) && put('"');
        if (PyLong_Check(key)) return put('"') && integer(key) && put('"');
        return give_up();
    }

    template <typename Narrow>
    void narrow(Narrow* to) const {
        for (Py_ssize_t i = 0; i < length_; ++i) to[i] = static_cast<Narrow>(out_[i]);
    }
};

template <typename Char>
Ref encode(PyObject* value, int max_depth, int& width) {
    Encoder<Char> encoder(max_depth);
    if (encoder.value(value, 0)) {
        width = encoder.needed_width();
        return encoder.finish();
    }
    width = encoder.stop() == Encoder<Char>::Stop::wider ? encoder.wanted_width() : 0;
    return {};
}

}  // namespace

Ref standard_json_text(PyObject* value) {
    // json.dumps needs the frames of its own calls before the content's nesting counts.
    const int room = PyThreadState_Get()->recursion_remaining - kRecursionMargin;
    if (room <= 0) return {};
    const int max_depth = room < kMaxDepth ? room : kMaxDepth;
    int width = width_hint;
    for (;;) {
        int next = 0;
        Ref text = width == 1   ? encode<Py_UCS1>(value, max_depth, next)
                   : width == 2 ? encode<Py_UCS2>(value, max_depth, next)
                                : encode<Py_UCS4>(value, max_depth, next);
        if (text) {
            width_hint = next;
            return text;
        }
        if (next <= width) return {};
        width = next;
    }
}

}  // namespace rt
