// QEMU's side of QMP as the launcher reads it: bytes in pieces, cut into lines and sorted into
// the greeting, events and replies. Every message returned must be of the kind its object
// says, in the order its line came, and the pieces must not change what is read.

#include <fuzzer/FuzzedDataProvider.h>

#include <QJsonDocument>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "guest/qmp_message.h"

namespace {

using namespace quorvale::guest;

[[noreturn]] void fail(const char* why) {
    std::fprintf(stderr, "fuzz check failed: %s\n", why);
    std::abort();
}

void check(const QmpMessage& message) {
    switch (message.kind) {
        case QmpMessage::Kind::greeting:
            if (!message.object.contains(QStringLiteral("QMP")))
                fail("a greeting without \"QMP\"");
            break;
        case QmpMessage::Kind::event:
            if (!message.object.contains(QStringLiteral("event")) ||
                message.object.contains(QStringLiteral("QMP")))
                fail("an event that is not one");
            break;
        case QmpMessage::Kind::reply:
            if (!message.object.contains(QStringLiteral("id")) ||
                message.object.contains(QStringLiteral("event")))
                fail("a reply that is not one");
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::size_t> pieces(input.ConsumeIntegralInRange<std::size_t>(0, 8));
    for (auto& piece : pieces)
        piece = input.ConsumeIntegralInRange<std::size_t>(0, 128);
    const std::string text = input.ConsumeRemainingBytesAsString();
    const QByteArray stream(text.data(), static_cast<qsizetype>(text.size()));

    QmpReader whole;
    const std::vector<QmpMessage> expected = whole.read(stream);
    QmpReader pieced;
    std::vector<QmpMessage> got;
    qsizetype offset = 0;
    for (const std::size_t piece : pieces) {
        const qsizetype count =
            std::min<qsizetype>(static_cast<qsizetype>(piece), stream.size() - offset);
        for (auto& message : pieced.read(stream.mid(offset, count)))
            got.push_back(std::move(message));
        offset += count;
    }
    for (auto& message : pieced.read(stream.mid(offset)))
        got.push_back(std::move(message));

    if (got.size() != expected.size())
        fail("reading in pieces found another number of messages");
    for (std::size_t i = 0; i < got.size(); ++i) {
        check(got[i]);
        if (got[i].kind != expected[i].kind || got[i].id != expected[i].id ||
            got[i].object != expected[i].object)
            fail("reading in pieces found other messages");
    }
    if (expected.size() > static_cast<std::size_t>(stream.count('\n')))
        fail("more messages than lines");
    return 0;
}
