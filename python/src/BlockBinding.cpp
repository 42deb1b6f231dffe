// talvex05u.Block: CUdpDataBlockEx with typed appends and gets that check their
// arguments and the data left, so a script gets an exception instead of the
// library's end-of-data values.
#include "Bindings.h"

#include <Talvex05u.h>

#include <pybind11/stl.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace py = pybind11;

namespace talvexpy {

namespace {

// Blocks that hold strings keep their cursors in 16 bits, so they stay within this.
constexpr std::int64_t kStringBlockWords = talvex::kMaxFramedWords;

// A Python int as one 32-bit word: -2**31 .. 2**32-1, values above 2**31-1 taken
// as their two's complement (so 0xFFFFFFFF is the word -1).
std::int32_t ToWord(const py::handle& value, const char* what) {
    if (!py::isinstance<py::int_>(value) || py::isinstance<py::bool_>(value))
        throw py::type_error(std::string(what) + ": expected an int, got " + std::string(py::str(value.get_type().attr("__name__"))));
    long long number = 0;
    try {
        number = value.cast<long long>();
    } catch (const py::cast_error&) {
        number = std::numeric_limits<long long>::max();
    }
    if (PyErr_Occurred() != nullptr) PyErr_Clear();
    if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::uint32_t>::max())
        throw py::value_error(std::string(what) + ": " + std::string(py::str(value)) +
                              " does not fit a 32-bit word (-2**31 .. 2**32-1)");
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::int64_t>(number)));
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

void AppendLong(CUdpDataBlockEx& block, const py::handle& value) {
    Require(block.AppendLongData(ToWord(value, "append_long")), "append_long");
}

void AppendString(CUdpDataBlockEx& block, const py::handle& text, const std::string& encoding) {
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
        "A data block: the typed 32-bit words that a call, answer, event or broadcast carries.\n"
        "Values are appended and read back in the same order; nothing in the block records\n"
        "their kinds. Gets raise IndexError when the data is used up.");
    block.def(py::init(&MakeBlock), py::arg("procedure") = py::none(),
              "A new empty block; with a procedure number it is a call of that procedure.")
        .def_static("of_words", &OfWords, py::arg("words"), py::arg("procedure") = py::none(),
                    "A block whose data words are `words` (ints, -2**31 .. 2**32-1).")
        .def_static("from_bytes", &FromBytes, py::arg("data"), py::arg("procedure") = py::none(),
                    "A block whose data words are `data` read as little-endian 32-bit words.")
        .def("append_long", &AppendLong, py::arg("value"), "Appends one 32-bit integer.")
        .def("append_float", [](CUdpDataBlockEx& b, float v) { Require(b.AppendFloatData(v), "append_float"); },
             py::arg("value"), "Appends a single-precision float (one word).")
        .def("append_double", [](CUdpDataBlockEx& b, double v) { Require(b.AppendDoubleData(v), "append_double"); },
             py::arg("value"), "Appends a double (two words, low half first).")
        .def("append_int64", [](CUdpDataBlockEx& b, std::int64_t v) { Require(b.AppendInt64Data(v), "append_int64"); },
             py::arg("value"), "Appends a signed 64-bit integer (two words, low half first).")
        .def("append_uint64", [](CUdpDataBlockEx& b, std::uint64_t v) { Require(b.AppendUInt64Data(v), "append_uint64"); },
             py::arg("value"), "Appends an unsigned 64-bit integer (two words, low half first).")
        .def("append_string", &AppendString, py::arg("text"), py::arg("encoding") = "utf-8",
             "Appends a zero-terminated string (str encoded with `encoding`, or bytes as they are).")
        .def("append_bytes", &AppendBytes, py::arg("data"),
             "Appends bytes, padded to whole words; the reader passes the same count to get_bytes.")
        .def("append_words", &AppendWords, py::arg("words"), "Appends a counted word block: the count, then the words.")
        .def("get_long", &GetLong, "Reads one 32-bit integer.")
        .def("get_float", &GetFloat, "Reads a single-precision float.")
        .def("get_double", &GetDouble, "Reads a double.")
        .def("get_int64", &GetInt64, "Reads a signed 64-bit integer.")
        .def("get_uint64", &GetUInt64, "Reads an unsigned 64-bit integer.")
        .def("get_string", &GetString, py::arg("encoding") = "utf-8",
             "Reads a string, decoded with `encoding` (None: the raw bytes).")
        .def("get_bytes", &GetBytes, py::arg("count"), "Reads `count` bytes appended by append_bytes.")
        .def("get_words", &GetWords, "Reads a counted word block appended by append_words.")
        .def("words", &Words, "The block's data words, as a list of signed ints.")
        .def("to_bytes", &ToBytes, "The block's data words as little-endian bytes.")
        .def("rewind", &CUdpDataBlockEx::ResetReadPos, "Reads from the first word again.")
        .def("clear", &CUdpDataBlockEx::Clear, "Empties the block and forgets its procedure.")
        .def("reset_for_return", &CUdpDataBlockEx::ResetForReturn,
             "Empties the block for an answer, keeping its procedure and reference number.")
        .def("copy", [](const CUdpDataBlockEx& b) { return CUdpDataBlockEx(b); }, "An independent copy.")
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
                      "The procedure the block calls or answers (None for a block without one).")
        .def_property_readonly("type", [](const CUdpDataBlockEx& b) { return b.m_nType; },
                               "Message type: 1 call, 2 answer, 7 broadcast, 8 broadcast answer, -1 none.")
        .def_property_readonly("reference", [](const CUdpDataBlockEx& b) { return b.m_nReferenceNumber; },
                               "Reference number of the call the block belongs to.")
        .def_property_readonly("read_position", [](const CUdpDataBlockEx& b) { return b.m_nReadPos; },
                               "Word index of the next value a get reads.");
    block.attr("__hash__") = py::none();
}

}  // namespace talvexpy
