#pragma once
// Typed values of the talvex command line (l:42, f:1.5, d:2.25, i64:-5, u64:7,
// s:text, a:0a0b0c, b:1,2,3) appended to a data block, and the decoding of an
// answer block for printing: by a list of kinds (--read) or as plain words.
#include <Talvex05u.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

// One typed value parsed from the command line.
struct TypedValue {
    enum class Kind { Long, Float, Double, Int64, UInt64, String, Array, BinBlock };
    Kind kind = Kind::Long;
    std::int64_t integer = 0;          // Long, Int64
    std::uint64_t unsignedInteger = 0; // UInt64
    double real = 0.0;                 // Float, Double
    std::string text;                  // String
    std::vector<unsigned char> bytes;  // Array
    std::vector<std::int32_t> words;   // BinBlock: the count word first, then the words
};

// Parses one "kind:value" argument; nothing and a message naming the argument on failure.
std::optional<TypedValue> ParseTypedValue(const std::string& argument, std::string* error);

// Appends the value to the block; false when the block could not take it.
bool AppendTypedValue(CUdpDataBlockEx* block, const TypedValue& value);

// Number of data words the value takes in a block.
std::int64_t WordsOf(const TypedValue& value);

// One kind of an --read list: l f d i64 u64 s a:N b.
struct ReadKind {
    enum class Kind { Long, Float, Double, Int64, UInt64, String, Array, BinBlock };
    Kind kind = Kind::Long;
    std::int32_t byteCount = 0;   // Array only
};

// Parses "l,s,d,a:4,b"; nothing and a message naming the bad entry on failure.
std::optional<std::vector<ReadKind>> ParseReadList(const std::string& list, std::string* error);

// One value read from an answer: its text for people and its JSON value.
struct DecodedValue {
    ReadKind::Kind kind;
    std::string text;   // e.g. 42 (0x0000002a), "hi", 0a0b (2 bytes)
    std::string json;   // e.g. 42, "hi", "0a0b"
};

// Reads the kinds from the block in order. Stops at the first value that the
// block does not hold (it ends before it, or holds it malformed) and puts a
// message naming it in *error.
std::vector<DecodedValue> DecodeValues(const CUdpDataBlockEx& block, const std::vector<ReadKind>& kinds,
                                       std::string* error);

// The values as a JSON array; the block's data words (signed) as a JSON array.
std::string DecodedJson(const std::vector<DecodedValue>& values);
std::string WordsJson(const CUdpDataBlockEx& block);

// Reads the kinds from the block in order and prints one line per value with
// `indent` in front. Returns false (after printing what it could) when the block
// ends before a value or does not hold it well formed.
bool PrintDecoded(const CUdpDataBlockEx& block, const std::vector<ReadKind>& kinds, const char* indent);

// Prints the block's data words (index, hex, signed decimal), abbreviating long
// blocks to their first and last words and a count.
void PrintWords(const CUdpDataBlockEx& block, const char* indent);

// The words of the block that really hold data: its length, bounded by its buffer.
std::int32_t DataWords(const CUdpDataBlockEx& block);

// Text of the value kinds for --help.
const char* TypedValueHelp();

}  // namespace cli
