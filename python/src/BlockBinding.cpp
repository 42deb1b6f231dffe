// talvex05u.Block: CUdpDataBlockEx with typed appends and gets that check their
// arguments and the data left, so a script gets an exception instead of the
// library's end-of-data values; bulk appends and gets move many values in one call.
#include "Bindings.h"

#include <Talvex05u.h>

#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace talvexpy {

namespace {

// Blocks that hold strings keep their cursors in 16 bits, so they stay within this.
constexpr std::int64_t kStringBlockWords = talvex::kMaxFramedWords;

// A Python int as one 32-bit word: -2**31 .. 2**32-1, values above 2**31-1 taken
// as their two's complement (so 0xFFFFFFFF is the word -1). `name()` names the value in
// an error, made only when there is one.
template <class Name>
std::int32_t ToWordNamed(const py::handle& value, Name name) {
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
        throw py::type_error(name() + ": expected an int, got " + std::string(py::str(value.get_type().attr("__name__"))));
    long long number = 0;
    try {
        number = value.cast<long long>();
    } catch (const py::cast_error&) {
        number = std::numeric_limits<long long>::max();
    }
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error(name() + ": " + std::string(py::str(value)) +
                              " does not fit a 32-bit word (-2**31 .. 2**32-1)");
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(number)));
}

std::int32_t ToWord(const py::handle& value, const char* what) {
    return ToWordNamed(value, [what] { return std::string(what); });
}

std::vector<std::int32_t> ToWords(const py::iterable& values, const char* what) {
    std::vector<std::int32_t> words;
    if (py::isinstance<py::str>(values) || py::isinstance<py::bytes>(values))
        throw py::type_error(std::string(what) + ": expected a sequence of ints, not str or bytes");
    for (const py::handle& value : values) words.push_back(ToWord(value, what));
    return words;
}

// The library refuses an append only when it cannot enlarge the buffer.
void Require(bool appended, const char* what) {
    if (appended) return;
    PyErr_SetString(PyExc_MemoryError, (std::string(what) + ": no memory to enlarge the block").c_str());
    throw py::error_already_set();
}

std::int64_t WordsLeft(const CUdpDataBlockEx& block) {
    return static_cast<std::int64_t>(block.m_nLength) - block.m_nReadPos;
}

void RequireWordsLeft(const CUdpDataBlockEx& block, std::int64_t words, const char* what) {
    if (WordsLeft(block) < words)
        throw py::index_error(std::string(what) + ": needs " + std::to_string(words) + " word(s) but only " +
                              std::to_string(WordsLeft(block) < 0 ? 0 : WordsLeft(block)) +
                              " are left to read (read position " + std::to_string(block.m_nReadPos) + " of " +
                              std::to_string(block.m_nLength) + "); rewind() reads from the start again");
}

void RequireStringRoom(const CUdpDataBlockEx& block, std::size_t bytes, const char* what) {
    if (block.m_nLength + static_cast<std::int64_t>(bytes / 4) + 1 > kStringBlockWords)
        throw py::value_error(std::string(what) + ": a block that holds strings keeps at most " +
                              std::to_string(kStringBlockWords) + " words; this one has " +
                              std::to_string(block.m_nLength) + " and the string needs " +
                              std::to_string(bytes / 4 + 1));
}

void AppendLong(CUdpDataBlockEx& block, const py::object& value) {
    Require(block.AppendLongData(ToWord(value, "append_long")), "append_long");
}

void AppendString(CUdpDataBlockEx& block, const py::object& text, const std::string& encoding) {
    std::string bytes;
    if (py::isinstance<py::str>(text)) {
        bytes = py::bytes(text.attr("encode")(encoding));
    } else if (py::isinstance<py::bytes>(text)) {
        bytes = text.cast<std::string>();
    } else {
        throw py::type_error("append_string: expected str (or bytes), got " +
                             std::string(py::str(text.get_type().attr("__name__"))));
    }
    if (bytes.find('\0') != std::string::npos)
        throw py::value_error("append_string: the string holds a zero byte, which would end it early");
    RequireStringRoom(block, bytes.size(), "append_string");
    Require(block.AppendStringData(bytes.c_str()), "append_string");
}

void AppendBytes(CUdpDataBlockEx& block, const py::bytes& data) {
    std::string bytes = data;
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2))
        throw py::value_error("append_bytes: " + std::to_string(bytes.size()) + " bytes are too many for one block");
    Require(block.AppendArray(bytes.data(), static_cast<std::int32_t>(bytes.size())), "append_bytes");
}

void AppendWords(CUdpDataBlockEx& block, const py::iterable& values) {
    std::vector<std::int32_t> counted = ToWords(values, "append_words");
    if (counted.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2))
        throw py::value_error("append_words: too many words for one block");
    counted.insert(counted.begin(), static_cast<std::int32_t>(counted.size()));
    Require(block.AppendBinBlockData(counted.data()), "append_words");
}

std::int32_t GetLong(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 1, "get_long");
    return block.GetLongData();
}
float GetFloat(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 1, "get_float");
    return block.GetFloatData();
}
double GetDouble(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 2, "get_double");
    return block.GetDoubleData();
}
std::int64_t GetInt64(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 2, "get_int64");
    return block.GetInt64Data();
}
std::uint64_t GetUInt64(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 2, "get_uint64");
    return block.GetUInt64Data();
}

py::object GetString(const CUdpDataBlockEx& block, const py::object& encoding) {
    RequireWordsLeft(block, 1, "get_string");
    const char* start = reinterpret_cast<const char*>(block.m_pData + block.m_nReadPos);
    std::size_t available = static_cast<std::size_t>(WordsLeft(block)) * 4;
    const void* end = std::memchr(start, '\0', available);
    if (end == nullptr)
        throw py::value_error("get_string: no string ends within the block's data at read position " +
                              std::to_string(block.m_nReadPos));
    std::string text(static_cast<std::size_t>(static_cast<const char*>(end) - start) + 1, '\0');
    if (!block.GetStringData(text.data(), static_cast<int>(text.size())))
        throw py::value_error("get_string: the block refused the string at read position " +
                              std::to_string(block.m_nReadPos));
    text.pop_back();
    py::bytes raw(text);
    if (encoding.is_none()) return raw;
    return raw.attr("decode")(encoding);
}

py::bytes GetBytes(const CUdpDataBlockEx& block, std::int64_t count) {
    if (count < 0) throw py::value_error("get_bytes: the byte count must not be negative, got " + std::to_string(count));
    RequireWordsLeft(block, count / 4 + 1, "get_bytes");
    std::string bytes(static_cast<std::size_t>(count) + 1, '\0');
    if (!block.GetArray(bytes.data(), static_cast<std::int32_t>(count)))
        throw py::value_error("get_bytes: the block refused " + std::to_string(count) + " bytes");
    bytes.pop_back();
    return py::bytes(bytes);
}

std::vector<std::int32_t> GetWords(const CUdpDataBlockEx& block) {
    RequireWordsLeft(block, 1, "get_words");
    std::int32_t count = block.m_pData[block.m_nReadPos];
    if (count < 0 || count > WordsLeft(block) - 1)
        throw py::value_error("get_words: the count word " + std::to_string(count) + " at read position " +
                              std::to_string(block.m_nReadPos) + " does not fit the " +
                              std::to_string(WordsLeft(block) - 1) + " words behind it");
    std::vector<std::int32_t> counted(static_cast<std::size_t>(count) + 1);
    if (!block.GetBinBlockData(counted.data()))
        throw py::value_error("get_words: the block refused the counted words at read position " +
                              std::to_string(block.m_nReadPos));
    return std::vector<std::int32_t>(counted.begin() + 1, counted.end());
}

// Bulk appends and gets: n values in one call, converted in C++ and written or read
// with the library's own single-value appends and gets, so the words are exactly those
// of n single calls (a float one word, a double two words low half first).

// A one-dimensional buffer of plain C numbers (array.array, memoryview.cast, numpy):
// every item, as its C type, goes through `convert` into `out`. False when the object
// offers no such buffer (or an order or size this machine does not read natively): the
// caller then iterates it, which gives the same values, only slower.
template <class Out, class Convert>
bool ConvertBuffer(const py::handle& values, std::vector<Out>& out, Convert&& convert) {
    if (PyObject_CheckBuffer(values.ptr()) == 0) return false;
    Py_buffer view{};
    if (PyObject_GetBuffer(values.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer* view;
        ~Release() { PyBuffer_Release(view); }
    } release{&view};
    std::string_view format = view.format != nullptr ? view.format : "B";
    if (!format.empty() && (format[0] == '@' || format[0] == '=' || format[0] == '<')) format.remove_prefix(1);
    if (view.ndim != 1 || format.size() != 1) return false;
    auto each = [&](auto sample) {
        using Item = decltype(sample);
        if (view.itemsize != static_cast<Py_ssize_t>(sizeof(Item))) return false;
        out.reserve(static_cast<std::size_t>(view.shape[0]));
        const char* item = static_cast<const char*>(view.buf);
        for (Py_ssize_t i = 0; i < view.shape[0]; ++i, item += view.strides[0]) {
            Item value;
            std::memcpy(&value, item, sizeof value);
            out.push_back(convert(value, i));
        }
        return true;
    };
    switch (format[0]) {
        case 'f': return each(float{});
        case 'd': return each(double{});
        case 'b': return each(static_cast<signed char>(0));
        case 'B': return each(static_cast<unsigned char>(0));
        case 'h': return each(short{});
        case 'H': return each(static_cast<unsigned short>(0));
        case 'i': return each(int{});
        case 'I': return each(0u);
        case 'l': return each(0L);
        case 'L': return each(0UL);
        case 'q': return each(0LL);
        case 'Q': return each(0ULL);
        default: return false;
    }
}

void RefuseRawBytes(const py::handle& values, const char* what, const char* format) {
    if (py::isinstance<py::str>(values) || py::isinstance<py::bytes>(values) || PyByteArray_Check(values.ptr()))
        throw py::type_error(std::string(what) + ": expected a sequence or buffer of numbers, not str, bytes or "
                             "bytearray (for raw values use memoryview(data).cast('" + format + "'))");
}

// The items of any iterable, each through `convert` (a list or tuple is read in place).
template <class Out, class Convert>
std::vector<Out> ConvertItems(const py::handle& values, const char* what, Convert&& convert) {
    std::vector<Out> out;
    py::object items = py::reinterpret_steal<py::object>(PySequence_Fast(values.ptr(), ""));
    if (!items) {
        PyErr_Clear();
        throw py::type_error(std::string(what) + ": expected a sequence or buffer of numbers, got " +
                             std::string(py::str(values.get_type().attr("__name__"))));
    }
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.ptr());
    PyObject** item = PySequence_Fast_ITEMS(items.ptr());
    out.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) out.push_back(convert(py::handle(item[i]), i));
    return out;
}

std::string ItemName(const char* what, Py_ssize_t index) {
    return std::string(what) + ": item " + std::to_string(index);
}

// A float or double as the single append_float / append_double take it: anything that
// float() takes without parsing text, narrowed to float with a plain C++ cast.
template <class Real>
std::vector<Real> ToReals(const py::handle& values, const char* what, const char* format) {
    RefuseRawBytes(values, what, format);
    std::vector<Real> reals;
    if (ConvertBuffer(values, reals, [](auto value, Py_ssize_t) { return static_cast<Real>(value); })) return reals;
    return ConvertItems<Real>(values, what, [what](const py::handle& item, Py_ssize_t index) {
        double value = PyFloat_AsDouble(item.ptr());
        if (value == -1.0 && PyErr_Occurred() != nullptr) {
            PyErr_Clear();
            throw py::type_error(ItemName(what, index) + ": expected a number, got " +
                                 std::string(py::str(item.get_type().attr("__name__"))));
        }
        return static_cast<Real>(value);
    });
}

std::vector<std::int32_t> ToLongs(const py::handle& values, const char* what) {
    RefuseRawBytes(values, what, "i");
    std::vector<std::int32_t> words;
    auto fromBuffer = [what](auto value, Py_ssize_t index) -> std::int32_t {
        using Item = decltype(value);
        if constexpr (std::is_floating_point_v<Item>) {
            throw py::type_error(std::string(what) + ": expected ints, got a buffer of floats");
        } else {
            if (std::cmp_less(value, std::numeric_limits<std::int32_t>::min()) ||
                std::cmp_greater(value, std::numeric_limits<std::uint32_t>::max()))
                throw py::value_error(ItemName(what, index) + ": " + std::to_string(value) +
                                      " does not fit a 32-bit word (-2**31 .. 2**32-1)");
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(value)));
        }
    };
    if (ConvertBuffer(values, words, fromBuffer)) return words;
    return ConvertItems<std::int32_t>(values, what, [what](const py::handle& item, Py_ssize_t index) {
        return ToWordNamed(item, [what, index] { return ItemName(what, index); });
    });
}

// Appends every value with `append` (the library's single-value append), after making
// room for all of them at once; nothing is appended when a value is refused.
template <class Value, class Append>
void AppendMany(CUdpDataBlockEx& block, const std::vector<Value>& values, std::int64_t wordsEach, Append append,
                const char* what) {
    const std::int64_t words = static_cast<std::int64_t>(values.size()) * wordsEach;
    if (words >= std::numeric_limits<std::int32_t>::max() / 2 - std::int64_t{block.m_nLength})
        throw py::value_error(std::string(what) + ": " + std::to_string(values.size()) + " values are too many for one block");
    Require(block.CheckBufferSize(static_cast<std::int32_t>(words)), what);
    for (const Value& value : values) Require((block.*append)(value), what);
}

// Reads `count` values with `get` (the library's single-value get) into a list; raises
// IndexError, reading nothing, when fewer than count * wordsEach words are left.
template <class Get, class ToPython>
py::list GetMany(const CUdpDataBlockEx& block, std::int64_t count, std::int64_t wordsEach, Get get,
                 ToPython toPython, const char* what) {
    if (count < 0) throw py::value_error(std::string(what) + ": the count must not be negative, got " + std::to_string(count));
    RequireWordsLeft(block, count <= std::numeric_limits<std::int32_t>::max() ? count * wordsEach : count, what);
    py::list values(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        PyObject* value = toPython((block.*get)());
        if (value == nullptr) throw py::error_already_set();
        PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i), value);
    }
    return values;
}

std::vector<std::int32_t> Words(const CUdpDataBlockEx& block) {
    std::int32_t length = block.m_nLength < block.m_nCapacity ? block.m_nLength : block.m_nCapacity;
    return std::vector<std::int32_t>(block.m_pData, block.m_pData + (length > 0 ? length : 0));
}

CUdpDataBlockEx MakeBlock(const py::object& procedure) {
    if (procedure.is_none()) return CUdpDataBlockEx();
    return CUdpDataBlockEx(ToWord(procedure, "procedure"));
}

CUdpDataBlockEx OfWords(const py::iterable& values, const py::object& procedure) {
    std::vector<std::int32_t> words = ToWords(values, "of_words");
    CUdpDataBlockEx block = MakeBlock(procedure);
    if (words.size() >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max() / 2))
        throw py::value_error("of_words: too many words for one block");
    Require(block.CheckBufferSize(static_cast<std::int32_t>(words.size())), "of_words");
    for (std::int32_t word : words) block.AppendLongData(word);
    return block;
}

CUdpDataBlockEx FromBytes(const py::bytes& data, const py::object& procedure) {
    std::string bytes = data;
    if (bytes.size() % 4 != 0)
        throw py::value_error("from_bytes: " + std::to_string(bytes.size()) +
                              " bytes are not a whole number of 32-bit words");
    std::vector<std::int32_t> words(bytes.size() / 4);
    for (std::size_t i = 0; i < words.size(); ++i) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + 4 * i);
        words[i] = static_cast<std::int32_t>(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 |
                                             std::uint32_t(b[2]) << 16 | std::uint32_t(b[3]) << 24);
    }
    return OfWords(py::cast(words), procedure);
}

py::bytes ToBytes(const CUdpDataBlockEx& block) {
    std::vector<std::int32_t> words = Words(block);
    std::string bytes(words.size() * 4, '\0');
    for (std::size_t i = 0; i < words.size(); ++i) {
        auto word = static_cast<std::uint32_t>(words[i]);
        for (int k = 0; k < 4; ++k) bytes[4 * i + k] = static_cast<char>((word >> (8 * k)) & 0xFF);
    }
    return py::bytes(bytes);
}

std::string Repr(const CUdpDataBlockEx& block) {
    std::string procedure = block.m_nProcedure == talvex::kNoProcedure ? "None" : std::to_string(block.m_nProcedure);
    return "<talvex05u.Block procedure=" + procedure + " type=" + std::to_string(block.m_nType) +
           " reference=" + std::to_string(block.m_nReferenceNumber) + " words=" + std::to_string(block.m_nLength) +
           " read_position=" + std::to_string(block.m_nReadPos) + ">";
}

bool SameContent(const CUdpDataBlockEx& a, const CUdpDataBlockEx& b) {
    return a.m_nProcedure == b.m_nProcedure && Words(a) == Words(b);
}

}  // namespace

void RegisterBlock(py::module_& module) {
    py::class_<CUdpDataBlockEx> block(module, "Block",
        "A data block: the 32-bit words that a call, answer, event or broadcast carries.\n\n"
        "Values are appended and read back in the same order, each get matching the append\n"
        "that wrote it; nothing in the block records their kinds, so a get of the wrong kind\n"
        "reads the words as that kind without an error. A float or a 32-bit integer takes one\n"
        "word; a double or 64-bit integer two (low half first); a string or bytes their bytes\n"
        "padded to whole words plus one; append_words one count word plus the words.\n"
        "Gets raise IndexError when too few words are left, reading nothing; rewind() reads\n"
        "from the start again. Nothing here waits or touches the network.");
    block.def(py::init(&MakeBlock), py::arg("procedure") = py::none(),
              "A new empty block. With a procedure number (a 32-bit int) it is a call of that\n"
              "procedure (type 1); without, a block of no procedure (type -1).")
        .def_static("of_words", &OfWords, py::arg("words"), py::arg("procedure") = py::none(),
                    "A block whose data words are `words` (ints from -2**31 to 2**32-1), bare: no\n"
                    "count word. Raises TypeError for an item that is not an int, ValueError for one\n"
                    "out of range.")
        .def_static("from_bytes", &FromBytes, py::arg("data"), py::arg("procedure") = py::none(),
                    "A block whose data words are `data` read as little-endian 32-bit words.\n"
                    "Raises ValueError when len(data) is not a multiple of 4.")
        .def("append_long", &AppendLong, py::arg("value"),
             "Appends one 32-bit integer (one word; C++ reads it with GetLongData). Values from\n"
             "2**31 to 2**32-1 are stored as their two's complement and read back negative.\n"
             "Raises TypeError for a non-int (bool included), ValueError outside -2**31 .. 2**32-1.")
        .def("append_float", [](CUdpDataBlockEx& b, float v) { Require(b.AppendFloatData(v), "append_float"); },
             py::arg("value"), "Appends a single-precision float: one word (C++: GetFloatData).")
        .def("append_double", [](CUdpDataBlockEx& b, double v) { Require(b.AppendDoubleData(v), "append_double"); },
             py::arg("value"), "Appends a double: two words, low half first (C++: GetDoubleData).")
        .def("append_int64", [](CUdpDataBlockEx& b, std::int64_t v) { Require(b.AppendInt64Data(v), "append_int64"); },
             py::arg("value"), "Appends a signed 64-bit integer: two words, low half first.")
        .def("append_uint64", [](CUdpDataBlockEx& b, std::uint64_t v) { Require(b.AppendUInt64Data(v), "append_uint64"); },
             py::arg("value"), "Appends an unsigned 64-bit integer: two words, low half first.")
        .def("append_string", &AppendString, py::arg("text"), py::arg("encoding") = "utf-8",
             "Appends a zero-terminated string: a str encoded with `encoding`, or bytes as they\n"
             "are; len//4 + 1 words. Raises ValueError for a zero byte inside it, or when the\n"
             "block would pass 32767 words (a block that holds strings stays within that).")
        .def("append_bytes", &AppendBytes, py::arg("data"),
             "Appends the bytes, padded to len//4 + 1 words; nothing records their number, so\n"
             "the reader passes the same count to get_bytes.")
        .def("append_words", &AppendWords, py::arg("words"),
             "Appends a COUNTED word block: first one word holding len(words), then the words\n"
             "(len(words) + 1 words in all; C++ reads it with GetBinBlockData, Python with\n"
             "get_words). Not for bare values: beside append_float or append_long the count\n"
             "word shifts every value after it by one word, with no error. Bare words go in\n"
             "with append_longs.")
        .def("append_floats",
             [](CUdpDataBlockEx& b, const py::object& values) {
                 AppendMany(b, ToReals<float>(values, "append_floats", "f"), 1, &CUdpDataBlockEx::AppendFloatData,
                            "append_floats");
             },
             py::arg("values"),
             "Appends every value as a float, bare (one word each, no count): the same words as\n"
             "append_float for each value in turn, read back with get_floats(n) or get_float.\n"
             "`values`: a list, tuple or any iterable of numbers, or a buffer such as\n"
             "array.array('f'), memoryview(raw).cast('f') or a one-dimensional numpy array\n"
             "(read at C++ speed). Raises TypeError for an item that is not a number and for\n"
             "str, bytes and bytearray; then nothing is appended.")
        .def("append_doubles",
             [](CUdpDataBlockEx& b, const py::object& values) {
                 AppendMany(b, ToReals<double>(values, "append_doubles", "d"), 2, &CUdpDataBlockEx::AppendDoubleData,
                            "append_doubles");
             },
             py::arg("values"),
             "Appends every value as a double, bare (two words each, low half first): the same\n"
             "words as append_double for each value. Takes what append_floats takes (fastest:\n"
             "array.array('d')); nothing is appended when an item is refused.")
        .def("append_longs",
             [](CUdpDataBlockEx& b, const py::object& values) {
                 AppendMany(b, ToLongs(values, "append_longs"), 1, &CUdpDataBlockEx::AppendLongData,
                            "append_longs");
             },
             py::arg("values"),
             "Appends every value as a 32-bit integer, bare (one word each, no count): the same\n"
             "words as append_long for each value. Takes ints (not bool) or an integer buffer\n"
             "(array.array('i'), ...). Raises TypeError for a non-int item or a buffer of floats,\n"
             "ValueError for one outside -2**31 .. 2**32-1; then nothing is appended.")
        .def("get_long", &GetLong, "Reads one word as a signed 32-bit integer. IndexError at the end of the data.")
        .def("get_float", &GetFloat, "Reads one word as a float. IndexError at the end of the data.")
        .def("get_double", &GetDouble, "Reads two words as a double. IndexError when fewer than 2 are left.")
        .def("get_int64", &GetInt64, "Reads two words as a signed 64-bit integer. IndexError when fewer than 2 are left.")
        .def("get_uint64", &GetUInt64, "Reads two words as an unsigned 64-bit integer. IndexError when fewer than 2 are left.")
        .def("get_floats",
             [](const CUdpDataBlockEx& b, std::int64_t count) {
                 return GetMany(b, count, 1, &CUdpDataBlockEx::GetFloatData, [](float v) { return PyFloat_FromDouble(v); },
                                "get_floats");
             },
             py::arg("count"),
             "Reads `count` floats (one word each) and returns them as a list of float: the same\n"
             "values as `count` get_float calls. Raises IndexError when fewer than `count` words\n"
             "are left, reading nothing (the read position stays); ValueError for a negative count.")
        .def("get_doubles",
             [](const CUdpDataBlockEx& b, std::int64_t count) {
                 return GetMany(b, count, 2, &CUdpDataBlockEx::GetDoubleData, [](double v) { return PyFloat_FromDouble(v); },
                                "get_doubles");
             },
             py::arg("count"),
             "Reads `count` doubles (two words each) and returns them as a list of float, as\n"
             "`count` get_double calls would. IndexError, reading nothing, when fewer than\n"
             "2 * count words are left; ValueError for a negative count.")
        .def("get_longs",
             [](const CUdpDataBlockEx& b, std::int64_t count) {
                 return GetMany(b, count, 1, &CUdpDataBlockEx::GetLongData, [](std::int32_t v) { return PyLong_FromLong(v); },
                                "get_longs");
             },
             py::arg("count"),
             "Reads `count` words as signed 32-bit integers and returns them as a list of int, as\n"
             "`count` get_long calls would. IndexError, reading nothing, when fewer than `count`\n"
             "words are left; ValueError for a negative count.")
        .def("get_string", &GetString, py::arg("encoding") = "utf-8",
             "Reads a zero-terminated string and decodes it with `encoding` (None: returns the\n"
             "raw bytes). Raises ValueError when no zero byte ends it within the data, or when it\n"
             "does not decode.")
        .def("get_bytes", &GetBytes, py::arg("count"),
             "Reads `count` bytes appended by append_bytes (count//4 + 1 words). IndexError when\n"
             "fewer words are left, ValueError for a negative count.")
        .def("get_words", &GetWords,
             "Reads a counted word block appended by append_words (or C++ AppendBinBlockData):\n"
             "the count word, then that many words, returned as a list of int without the count.\n"
             "Raises ValueError when the count word is negative or larger than what follows.")
        .def("words", &Words, "All data words as a list of signed ints, whatever the read position.")
        .def("to_bytes", &ToBytes, "All data words as little-endian bytes (4 per word).")
        .def("rewind", &CUdpDataBlockEx::ResetReadPos, "Sets the read position to the first word again.")
        .def("clear", &CUdpDataBlockEx::Clear, "Empties the block and forgets its procedure.")
        .def("reset_for_return", &CUdpDataBlockEx::ResetForReturn,
             "Empties the block for an answer, keeping its procedure and reference number.")
        .def("copy", [](const CUdpDataBlockEx& b) { return CUdpDataBlockEx(b); },
             "An independent copy: words, procedure, type, reference and read position.")
        .def("__copy__", [](const CUdpDataBlockEx& b) { return CUdpDataBlockEx(b); })
        .def("__deepcopy__", [](const CUdpDataBlockEx& b, py::object) { return CUdpDataBlockEx(b); }, py::arg("memo"))
        .def("__len__", [](const CUdpDataBlockEx& b) { return b.m_nLength; }, "Number of data words.")
        .def("__eq__", &SameContent, py::is_operator(), "Same procedure and same data words.")
        .def("__repr__", &Repr)
        .def_property("procedure",
                      [](const CUdpDataBlockEx& b) -> py::object {
                          if (b.m_nProcedure == talvex::kNoProcedure) return py::none();
                          return py::int_(b.m_nProcedure);
                      },
                      [](CUdpDataBlockEx& b, const py::object& value) {
                          b.m_nProcedure = value.is_none() ? talvex::kNoProcedure : ToWord(value, "procedure");
                      },
                      "The procedure the block calls or answers (an int), or None for a block without one.")
        .def_property_readonly("type", [](const CUdpDataBlockEx& b) { return b.m_nType; },
                               "Message type: 1 call, 2 answer, 7 broadcast, 8 broadcast answer, -1 none.")
        .def_property_readonly("reference", [](const CUdpDataBlockEx& b) { return b.m_nReferenceNumber; },
                               "Reference number of the call the block belongs to (0: none).")
        .def_property_readonly("read_position", [](const CUdpDataBlockEx& b) { return b.m_nReadPos; },
                               "Word index of the next value a get reads.");
    block.attr("__hash__") = py::none();
}

}  // namespace talvexpy
