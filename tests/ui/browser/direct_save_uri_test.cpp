// The URI a direct-save target writes is hostile input: only a plain absolute path of this
// computer becomes a place to write, with its escapes decoded exactly once.

#include <gtest/gtest.h>

#include "ui/browser/direct_save.h"

namespace quorvale::test {
namespace {

using Verdict = ui::DirectSavePlace::Verdict;

TEST(DirectSaveUriTest, OnlyPlainLocalPathsBecomePlaces) {
    const struct {
        QByteArray uri;
        Verdict verdict;
        QString folder;
        QString name;
    } cases[] = {
        {"file:///home/ann/notes.txt", Verdict::local, "/home/ann", "notes.txt"},
        {"file://localhost/home/ann/notes.txt", Verdict::local, "/home/ann", "notes.txt"},
        {"FILE://LocalHost/home/ann/notes.txt", Verdict::local, "/home/ann", "notes.txt"},
        {"file://desk.example/home/ann/a", Verdict::local, "/home/ann", "a"},
        {"file:/home/ann/a", Verdict::local, "/home/ann", "a"},
        {"file:///a", Verdict::local, "/", "a"},
        {"file:///home//ann/a", Verdict::local, "/home/ann", "a"},
        {"file:///home/ann/a\r\n", Verdict::local, "/home/ann", "a"},
        {QByteArray("file:///home/ann/a\0", 19), Verdict::local, "/home/ann", "a"},
        // Escapes: decoded once, into UTF-8.
        {"file:///home/caf%C3%A9/r%C3%A9sum%C3%A9%20v2.txt", Verdict::local, "/home/café",
         "résumé v2.txt"},
        {"file:///home/ann/100%25%3F%23.txt", Verdict::local, "/home/ann", "100%?#.txt"},
        {"file:///home/ann/%252e%252e", Verdict::local, "/home/ann", "%2e%2e"},
        {"file:///home/ann/%2e.hidden", Verdict::local, "/home/ann", "..hidden"},
        // Not ours to write: the target may ask for the file URLs instead.
        {"http://example.org/notes.txt", Verdict::elsewhere, {}, {}},
        {"smb://server/share/notes.txt", Verdict::elsewhere, {}, {}},
        {"file://server/home/ann/notes.txt", Verdict::elsewhere, {}, {}},
        {"file://localhost.evil.example/home/ann/a", Verdict::elsewhere, {}, {}},
        {"file://ann@localhost/home/ann/a", Verdict::elsewhere, {}, {}},
        // Malformed or evasive.
        {"", Verdict::invalid, {}, {}},
        {"/home/ann/notes.txt", Verdict::invalid, {}, {}},
        {"notes.txt", Verdict::invalid, {}, {}},
        {"file:notes.txt", Verdict::invalid, {}, {}},
        {"file://localhost", Verdict::invalid, {}, {}},
        {"file:///", Verdict::invalid, {}, {}},
        {"file:///home/ann/", Verdict::invalid, {}, {}},
        {"file:///home/ann/../../etc/passwd", Verdict::invalid, {}, {}},
        {"file:///home/ann/./a", Verdict::invalid, {}, {}},
        {"file:///home/ann/%2E%2E/a", Verdict::invalid, {}, {}},
        {"file:///home/ann/%2e%2e", Verdict::invalid, {}, {}},
        {"file:///home/ann%2F..%2Fbob/a", Verdict::invalid, {}, {}},
        {"file:///home/ann/a%00.txt", Verdict::invalid, {}, {}},
        {"file:///home/ann/a%zz", Verdict::invalid, {}, {}},
        {"file:///home/ann/a%4", Verdict::invalid, {}, {}},
        {"file:///home/ann/%FF", Verdict::invalid, {}, {}},
        {"file:///home/ann/a?b", Verdict::invalid, {}, {}},
        {"file:///home/ann/a#b", Verdict::invalid, {}, {}},
        {"file:///home/ann/a\nb", Verdict::invalid, {}, {}},
        {"fi le:///home/ann/a", Verdict::invalid, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri.toStdString());
        const ui::DirectSavePlace place =
            ui::directSavePlace(c.uri, QStringLiteral("desk.example"));
        EXPECT_EQ(place.verdict, c.verdict);
        if (c.verdict == Verdict::local) {
            EXPECT_EQ(place.folder, c.folder);
            EXPECT_EQ(place.name, c.name);
        }
    }
}

}  // namespace
}  // namespace quorvale::test
