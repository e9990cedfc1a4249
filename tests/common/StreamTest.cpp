#include <gtest/gtest.h>

#include <deque>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "TestPaths.h"
#include "qStream.h"

using test_support::TemporaryDirectory;

namespace {

// The far side of a scripted stream: get hands out the script in order (a byte, or a result
// such as qErrNotReady taken as one step), and reports qErrNotReady once it is used up.
// Writes are recorded as calls.
struct Script {
    std::deque<int> steps;  // 0..255 a byte; negative: -result
    std::vector<std::string> calls;
    std::string written;
    qErr put_result = qErrNone;

    void bytes(const std::string& text) {
        for (unsigned char c : text) steps.push_back(c);
    }
    void result(qErr error) { steps.push_back(-static_cast<int>(error)); }

    static qErr get(uint8_t* byte, void* reference) {
        auto* self = static_cast<Script*>(reference);
        if (self->steps.empty()) return qErrNotReady;
        int step = self->steps.front();
        self->steps.pop_front();
        if (step < 0) return static_cast<qErr>(-step);
        *byte = static_cast<uint8_t>(step);
        return qErrNone;
    }
    static qErr put(const uint8_t* byte, void* reference) {
        auto* self = static_cast<Script*>(reference);
        self->calls.push_back("put");
        if (self->put_result != qErrNone) return self->put_result;
        self->written.push_back(static_cast<char>(*byte));
        return qErrNone;
    }
    static qErr write(const uint8_t* data, size_t length, void* reference) {
        auto* self = static_cast<Script*>(reference);
        self->calls.push_back("write " + std::to_string(length));
        self->written.append(reinterpret_cast<const char*>(data), length);
        return qErrNone;
    }
};

struct StreamDeleter {
    void operator()(qStream* stream) const { qStream_Destroy(&stream); }
};
using Stream = std::unique_ptr<qStream, StreamDeleter>;

Stream scripted(Script& script) { return Stream(qStream_Create(Script::get, Script::put, Script::write, nullptr, &script)); }

std::string read_text(qStream* stream, size_t size, qErr expected) {
    std::string text(size, '\0');
    EXPECT_EQ(qStream_Read(stream, text.data(), size), expected);
    return text;
}

// Splits `input` into records the way a record reader must: at each separator, or after
// `size` bytes when no separator ends the record sooner; the rest at the end.
std::vector<std::string> expected_records(const std::string& input, const std::string& separator, size_t size) {
    std::vector<std::string> records;
    size_t position = 0;
    while (position < input.size()) {
        size_t found = input.find(separator, position);
        if (found != std::string::npos && found - position < size) {
            records.push_back(input.substr(position, found - position));
            position = found + separator.size();
        } else if (input.size() - position > size) {
            records.push_back(input.substr(position, size));
            position += size;
        } else {
            records.push_back(input.substr(position));
            position = input.size();
        }
    }
    return records;
}

// Reads records until the end, retrying whenever the stream was not ready.
std::vector<std::string> read_records(qStream* stream, const std::string& separator, size_t size) {
    std::vector<std::string> records;
    for (int attempts = 0; attempts < 10000; ++attempts) {
        std::string buffer(size, '\0');
        size_t length = 99;
        qErr result = qStream_ReadRecord(stream, buffer.data(), &length, size, separator.data(), separator.size());
        if (result == qErrEOF) {
            EXPECT_EQ(length, 0u);
            break;
        }
        if (result == qErrNotReady) continue;
        EXPECT_EQ(result, qErrNone);
        records.push_back(buffer.substr(0, length));
    }
    return records;
}

}  // namespace

TEST(StreamRead, PartialReadResumesInOrder) {
    Script script;
    Stream stream = scripted(script);
    script.bytes("ab");
    std::string destination = "....";
    EXPECT_EQ(qStream_Read(stream.get(), destination.data(), 4), qErrNotReady);
    EXPECT_EQ(destination, "....");  // untouched
    EXPECT_EQ(stream->buffered, 2u);

    script.bytes("cdef");
    EXPECT_EQ(read_text(stream.get(), 4, qErrNone), "abcd");
    EXPECT_EQ(read_text(stream.get(), 2, qErrNone), "ef");
}

TEST(StreamRead, FailedReadKeepsTheBytesItTook) {
    Script script;
    Stream stream = scripted(script);
    script.bytes("xy");
    script.result(qErrIO);
    script.bytes("z");
    EXPECT_EQ(read_text(stream.get(), 3, qErrIO), std::string(3, '\0'));
    EXPECT_EQ(read_text(stream.get(), 3, qErrNone), "xyz");
}

TEST(StreamRead, RefusesBadArguments) {
    Script script;
    Stream stream = scripted(script);
    char byte;
    EXPECT_EQ(qStream_Read(nullptr, &byte, 1), qErrParam);
    EXPECT_EQ(qStream_Read(stream.get(), nullptr, 1), qErrParam);
    Stream write_only(qStream_Create(nullptr, Script::put, nullptr, nullptr, &script));
    EXPECT_EQ(qStream_Read(write_only.get(), &byte, 1), qErrMode);
}

TEST(StreamPushBack, GrowsInStepsAndKeepsRingOrder) {
    Script script;
    Stream stream = scripted(script);
    std::string expected;
    auto push = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            char byte = static_cast<char>('A' + (expected.size() % 26));
            expected.push_back(byte);
            ASSERT_EQ(qStreamBufferChar(stream.get(), static_cast<uint8_t>(byte)), qErrNone);
        }
    };
    push(300);
    EXPECT_EQ(stream->capacity, 512u);
    EXPECT_EQ(read_text(stream.get(), 200, qErrNone), expected.substr(0, 200));
    expected.erase(0, 200);
    push(411);  // wraps around the end of the ring: 511 held, the most 512 bytes hold
    EXPECT_EQ(stream->capacity, 512u);
    push(1);
    EXPECT_EQ(stream->capacity, 1024u);
    push(600);
    EXPECT_EQ(stream->capacity, 1536u);
    EXPECT_EQ(read_text(stream.get(), expected.size(), qErrNone), expected);
    EXPECT_EQ(qStreamBufferChar(nullptr, 1), qErrParam);
}

TEST(StreamWrite, ChoosesWriteOrPut) {
    Script script;
    Stream both = scripted(script);
    EXPECT_EQ(qStream_Write(both.get(), "hello", 5), qErrNone);
    EXPECT_EQ(qStream_Write(both.get(), "!", 1), qErrNone);
    EXPECT_EQ(qStream_Write(both.get(), "", 0), qErrNone);
    EXPECT_EQ(script.calls, (std::vector<std::string>{"write 5", "put"}));
    EXPECT_EQ(script.written, "hello!");

    Script put_only;
    Stream puts(qStream_Create(nullptr, Script::put, nullptr, nullptr, &put_only));
    EXPECT_EQ(qStream_Write(puts.get(), "abc", 3), qErrNone);
    EXPECT_EQ(put_only.calls.size(), 3u);
    put_only.put_result = qErrIO;
    EXPECT_EQ(qStream_Write(puts.get(), "def", 3), qErrIO);
    EXPECT_EQ(put_only.calls.size(), 4u);  // stopped at the first failure

    Stream read_only(qStream_Create(Script::get, nullptr, nullptr, nullptr, &script));
    EXPECT_EQ(qStream_Write(read_only.get(), "x", 1), qErrMode);
    EXPECT_EQ(qStream_Write(both.get(), nullptr, 1), qErrParam);
    EXPECT_EQ(qStream_Write(nullptr, "x", 1), qErrParam);
}

TEST(StreamRecords, SeparatorsAreMatchedWithoutLosingBytes) {
    struct Case {
        std::string input;
        std::string separator;
        size_t size;
    };
    const Case cases[] = {
        {"abc\ndef\n\nlast", "\n", 64},
        {"ab\r\r\ncd\r\n", "\r\n", 64},
        {"aababcabc", "abc", 64},         // a failed partial match that begins the real one
        {"xababacabac", "abac", 64},      // the failed match's tail is the next match's head
        {"aaab", "aab", 64},
        {"ends in half a separator\r", "\r\n", 64},
        {"abcdefgh\nij", "\n", 4},         // the buffer ends records too
        {"a\r\rb\n", "\r\n", 2},           // the buffer fills while a failed match is given up
        {"ab\r\n", "\r\n", 2},             // full buffer, then an empty record
        {"xyabaabab", "abab", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.input);
        std::vector<std::string> expected = expected_records(c.input, c.separator, c.size);

        Script all_at_once;
        all_at_once.bytes(c.input);
        all_at_once.result(qErrEOF);
        Stream stream = scripted(all_at_once);
        EXPECT_EQ(read_records(stream.get(), c.separator, c.size), expected);

        // The same bytes with a pause after every one: each pause gives the record back.
        Script trickle;
        for (char byte : c.input) {
            trickle.bytes(std::string(1, byte));
            trickle.result(qErrNotReady);
        }
        trickle.result(qErrEOF);
        Stream slow = scripted(trickle);
        EXPECT_EQ(read_records(slow.get(), c.separator, c.size), expected);
    }
}

TEST(StreamRecords, NotReadyLeavesTheBufferAndGivesBytesBack) {
    Script script;
    Stream stream = scripted(script);
    script.bytes("ab\r");
    char buffer[16] = "unchanged";
    size_t length = 7;
    EXPECT_EQ(qStream_ReadRecord(stream.get(), buffer, &length, sizeof buffer, "\r\n", 2), qErrNotReady);
    EXPECT_STREQ(buffer, "unchanged");
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(stream->buffered, 3u);
    script.bytes("\nc");
    EXPECT_EQ(qStream_ReadRecord(stream.get(), buffer, &length, sizeof buffer, "\r\n", 2), qErrNone);
    EXPECT_EQ(std::string(buffer, length), "ab");

    EXPECT_EQ(qStream_ReadRecord(stream.get(), buffer, &length, sizeof buffer, "", 0), qErrParam);
    EXPECT_EQ(qStream_ReadRecord(stream.get(), buffer, &length, sizeof buffer, nullptr, 1), qErrParam);
    EXPECT_EQ(qStream_ReadRecord(stream.get(), nullptr, &length, sizeof buffer, "\n", 1), qErrParam);
}

TEST(StreamRecords, CStringsAndWrittenRecords) {
    Script script;
    Stream stream = scripted(script);
    script.bytes(std::string("abcdefghij\0k\0", 13));
    script.result(qErrEOF);
    char buffer[8];
    EXPECT_EQ(qStream_ReadCString(stream.get(), buffer, sizeof buffer), qErrNone);
    EXPECT_STREQ(buffer, "abcdefg");  // 7 characters and the terminator
    EXPECT_EQ(qStream_ReadCString(stream.get(), buffer, sizeof buffer), qErrNone);
    EXPECT_STREQ(buffer, "hij");
    EXPECT_EQ(qStream_ReadCString(stream.get(), buffer, sizeof buffer), qErrNone);
    EXPECT_STREQ(buffer, "k");
    EXPECT_EQ(qStream_ReadCString(stream.get(), buffer, sizeof buffer), qErrEOF);
    EXPECT_STREQ(buffer, "");

    script.bytes("line one\r\nline two");
    script.result(qErrEOF);
    EXPECT_EQ(qStream_ReadCStringRecord(stream.get(), buffer, sizeof buffer, "\r\n"), qErrNone);
    EXPECT_STREQ(buffer, "line on");
    EXPECT_EQ(qStream_ReadCStringRecord(stream.get(), buffer, sizeof buffer, "\r\n"), qErrNone);
    EXPECT_STREQ(buffer, "e");

    EXPECT_EQ(qStream_WriteCString(stream.get(), "hi"), qErrNone);
    EXPECT_EQ(qStream_WriteRecord(stream.get(), "rec", 3, ";;", 2), qErrNone);
    EXPECT_EQ(qStream_WriteCStringRecord(stream.get(), "ok", "\r\n"), qErrNone);
    EXPECT_EQ(script.written, std::string("hi\0rec;;ok\r\n\0", 13));
    EXPECT_EQ(qStream_WriteRecord(stream.get(), "rec", 3, ";", 0), qErrParam);
    EXPECT_EQ(qStream_WriteCString(stream.get(), nullptr), qErrParam);
}

TEST(StreamBursts, ReadAvailableAndWaitReadable) {
    Script script;
    Stream stream = scripted(script);
    // Without the optional operations a burst is one get, and a wait cannot be had.
    EXPECT_EQ(qStream_WaitReadable(stream.get(), 10), qErrUnimplemented);
    uint8_t buffer[8];
    size_t count = 99;
    EXPECT_EQ(qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count), qErrNotReady);
    EXPECT_EQ(count, 0u);

    script.bytes("ab");
    char three[3];
    EXPECT_EQ(qStream_Read(stream.get(), three, 3), qErrNotReady);  // leaves "ab" pushed back
    EXPECT_EQ(qStream_WaitReadable(stream.get(), 10), qErrNone);
    script.bytes("cd");
    EXPECT_EQ(qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "ab");  // no get behind them
    EXPECT_EQ(qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "c");
    EXPECT_EQ(qStream_ReadAvailable(stream.get(), buffer, 0, &count), qErrParam);

    // With a burst operation the push-back bytes and the burst come in one call.
    static Script* source;
    source = &script;
    auto burst = [](uint8_t* out, size_t capacity, size_t* got, void*) -> qErr {
        *got = 0;
        while (*got < capacity && Script::get(&out[*got], source) == qErrNone) ++*got;
        return *got > 0 ? qErrNone : qErrNotReady;
    };
    ASSERT_EQ(qStream_SetReadyOperations(stream.get(), burst, nullptr), qErrNone);
    qStreamBufferChar(stream.get(), 'x');
    script.bytes("efghijkl");
    EXPECT_EQ(qStream_ReadAvailable(stream.get(), buffer, sizeof buffer, &count), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "xdefghij");
}

TEST(StreamLifecycle, DestroyCallsDeleteOnceAndClearsThePointer) {
    static int deletes;
    deletes = 0;
    auto counting_delete = [](void*) -> qErr {
        ++deletes;
        return qErrIO;
    };
    qStream* stream = qStream_Create(nullptr, nullptr, nullptr, counting_delete, nullptr);
    ASSERT_NE(stream, nullptr);
    qStreamBufferChar(stream, 1);
    EXPECT_EQ(qStream_Destroy(&stream), qErrIO);  // the delete operation's result
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(deletes, 1);
    EXPECT_EQ(qStream_Destroy(&stream), qErrParam);
    EXPECT_EQ(qStream_Destroy(nullptr), qErrParam);
    qStream forged{};
    qStream* pointer = &forged;
    EXPECT_EQ(qStream_Destroy(&pointer), qErrParam);
    EXPECT_EQ(pointer, nullptr);
}

TEST(FileStream, ReadsToTheEndAndWritesBack) {
    TemporaryDirectory root;
    std::string input_path = root.file("input");
    std::ofstream(input_path, std::ios::binary) << "abcdef";

    qStream* input = nullptr;
    ASSERT_EQ(qStream_CreateFileInput(input_path.c_str(), &input), qErrNone);
    EXPECT_EQ(read_text(input, 4, qErrNone), "abcd");
    std::string rest = read_text(input, 4, qErrEOF);  // the end after two bytes: those two delivered
    EXPECT_EQ(rest.substr(0, 2), "ef");
    char byte;
    EXPECT_EQ(qStream_Read(input, &byte, 1), qErrEOF);
    EXPECT_EQ(qStream_Write(input, "x", 1), qErrMode);
    EXPECT_EQ(qStream_Destroy(&input), qErrNone);

    qStream* output = nullptr;
    std::string output_path = root.file("output");
    ASSERT_EQ(qStream_CreateFileOutput(output_path.c_str(), &output), qErrNone);
    EXPECT_EQ(qStream_Write(output, "hello", 5), qErrNone);
    EXPECT_EQ(qStream_Write(output, "!", 1), qErrNone);
    EXPECT_EQ(qStream_Read(output, &byte, 1), qErrMode);
    EXPECT_EQ(qStream_Destroy(&output), qErrNone);
    std::stringstream written;
    written << std::ifstream(output_path, std::ios::binary).rdbuf();
    EXPECT_EQ(written.str(), "hello!");
}

TEST(FileStream, CreationFailures) {
    TemporaryDirectory root;
    qStream* stream = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(qStream_CreateFileInput(root.file("missing").c_str(), &stream), qErrResource);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(qStream_CreateFileInput(nullptr, &stream), qErrResource);
    EXPECT_EQ(qStream_CreateFileInput(root.file("missing").c_str(), nullptr), qErrResource);
    EXPECT_EQ(qStream_CreateFileOutput(root.file("no/such/dir").c_str(), &stream), qErrResource);
}

TEST(FileStream, FlushCopiesAWholeFile) {
    TemporaryDirectory root;
    std::string content;
    for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>(i * 7));
    std::ofstream(root.file("source"), std::ios::binary) << content;

    qStream* input = nullptr;
    qStream* output = nullptr;
    ASSERT_EQ(qStream_CreateFileInput(root.file("source").c_str(), &input), qErrNone);
    ASSERT_EQ(qStream_CreateFileOutput(root.file("copy").c_str(), &output), qErrNone);
    EXPECT_EQ(qStream_Flush(output, input), qErrMode);  // wrong way round
    EXPECT_EQ(qStream_Flush(input, output), qErrNone);
    EXPECT_EQ(qStream_Flush(input, nullptr), qErrParam);
    qStream_Destroy(&input);
    qStream_Destroy(&output);
    std::stringstream copied;
    copied << std::ifstream(root.file("copy"), std::ios::binary).rdbuf();
    EXPECT_EQ(copied.str(), content);

    Script failing;
    failing.put_result = qErrWrite;
    Stream sink(qStream_Create(nullptr, Script::put, nullptr, nullptr, &failing));
    ASSERT_EQ(qStream_CreateFileInput(root.file("source").c_str(), &input), qErrNone);
    EXPECT_EQ(qStream_Flush(input, sink.get()), qErrWrite);
    qStream_Destroy(&input);
}
