// The host's reading of the guest's replies, end to end below the transport's threads: bytes
// arriving in pieces are cut into lines (with a small line limit so that overflow is reached),
// each line is decoded as a JSON-RPC response, and its result is read as every method's
// caller reads it: a listing into file items (with the helpers the views call on them),
// arrays of partition and usage records, a rename's new path, and base64 file data (both the
// whole-reply decoder and the export's chunk writer, which must agree).

#include <sys/mman.h>
#include <unistd.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fileops/directory_listing.h"
#include "fileops/file_operation_service.h"
#include "fileops/local_file.h"
#include "rpc/base64.h"
#include "rpc/json_rpc.h"
#include "rpc/line_buffer.h"

namespace {

using namespace quorvale;

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "fuzz check failed: %s\n", why);
    std::abort();
}

int scratchFile() {
    static const int fd = ::memfd_create("reply-chunk", MFD_CLOEXEC);
    if (fd < 0)
        fail("memfd_create");
    return fd;
}

void readListing(const boost::json::value& result) {
    const QString parent = QStringLiteral("/Parent dir");
    const auto items = fileops::decodeListing(&result, parent);
    if (!items)
        return;
    bool seenFile = false;
    for (const model::FileItem& item : *items) {
        if (item.path != parent + QLatin1Char('/') + item.name || item.id != item.path)
            fail("an item's path is not its parent's path and its name");
        if (item.isDirectory && seenFile)
            fail("a directory sorted after a file");
        seenFile = seenFile || !item.isDirectory;
        // What the browser and preview show of each item.
        (void)item.sizeText();
        (void)item.dateText();
        (void)item.permissionText();
        (void)item.iconName();
        (void)item.iconColor();
        (void)item.isTextFile();
        (void)qHash(item);
    }
    if (items->size() > static_cast<qsizetype>(result.get_array().size()))
        fail("more items than entries");
}

void readRecords(const boost::json::value& result) {
    for (const fileops::Dictionary& record : fileops::decodeDictionaries(&result)) {
        for (const auto& [key, value] : record) {
            (void)value.kind();
            (void)value.intValue();
            (void)value.numberValue();
            (void)value.stringValue();
            (void)value.boolValue();
            (void)value.render();
        }
    }
}

void readFileData(const boost::json::value& result) {
    if (!result.is_string())
        return;
    const boost::json::string& text = result.get_string();
    const std::string_view base64(text.data(), text.size());
    const auto decoded = rpc::base64Decode(base64);
    const int fd = scratchFile();
    // A limit that some inputs exceed: more bytes than were asked for are refused.
    constexpr std::size_t limit = 4096;
    const fileops::WrittenChunk chunk = fileops::writeDecodedChunk(fd, 0, base64, limit);
    if (chunk.invalid == (decoded && decoded->size() <= limit))
        fail("the export's chunk decoder and the base64 decoder disagree");
    if (!chunk.invalid && !chunk.error) {
        if (chunk.bytes != decoded->size())
            fail("the chunk writer wrote another byte count");
        std::string written(decoded->size(), '\0');
        if (::pread(fd, written.data(), written.size(), 0) !=
                static_cast<ssize_t>(written.size()) ||
            written != *decoded)
            fail("the chunk writer wrote other bytes");
    }
    ::ftruncate(fd, 0);
}

void readResponse(const std::string& line) {
    std::optional<rpc::JSONRPCResponse> response;
    try {
        response = rpc::JSONRPCResponse::decode(line);
    } catch (const std::exception&) {
        return;  // the transport logs the line as undecodable, whatever the exception
    }
    if (response->error && response->error->what() != response->error->message)
        fail("an error's description is not its message");
    if (!response->result)
        return;
    const boost::json::value& result = response->result->json();
    readListing(result);
    readRecords(result);
    readFileData(result);
    if (const auto* object = response->result->objectValue()) {
        if (const auto* newPath = object->if_contains("new_path"); newPath && newPath->is_string())
            (void)QString::fromUtf8(newPath->get_string().data(),
                                    static_cast<qsizetype>(newPath->get_string().size()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    const std::size_t maxLine = input.ConsumeIntegralInRange<std::size_t>(1, 4096);
    std::vector<std::size_t> pieces(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& piece : pieces)
        piece = input.ConsumeIntegralInRange<std::size_t>(0, 256);
    const std::string stream = input.ConsumeRemainingBytesAsString();

    // What the lines must be: the stream cut at each 0x0A.
    std::vector<std::string> expected;
    std::size_t start = 0;
    for (std::size_t newline; (newline = stream.find('\n', start)) != std::string::npos;) {
        expected.push_back(stream.substr(start, newline - start));
        start = newline + 1;
    }
    const std::string tail = stream.substr(start);

    rpc::LineBuffer buffer(maxLine);
    std::vector<std::string> lines;
    std::size_t offset = 0;
    const auto feed = [&](std::size_t count) {
        count = std::min(count, stream.size() - offset);
        buffer.append(std::string_view(stream).substr(offset, count));
        offset += count;
        while (auto line = buffer.nextLine()) {
            if (line->size() > maxLine)
                fail("a line longer than the limit was returned");
            lines.push_back(std::move(*line));
        }
    };
    for (const std::size_t piece : pieces)
        feed(piece);
    feed(stream.size());

    if (lines.size() > expected.size())
        fail("more lines than newlines");
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] != expected[i])
            fail("a line differs from the bytes between its newlines");
    }
    if (buffer.overflowed()) {
        // Only a line over the limit, complete or still arriving, may stop the buffer.
        const std::string& stopper = lines.size() < expected.size() ? expected[lines.size()] : tail;
        if (stopper.size() <= maxLine)
            fail("overflow without a line over the limit");
    } else {
        if (lines.size() != expected.size())
            fail("a complete line was not returned");
        if (buffer.pendingBytes() != tail.size())
            fail("the unfinished line is not what stays pending");
    }

    for (const std::string& line : lines) {
        if (!line.empty())
            readResponse(line);
    }
    return 0;
}
