// FilePreviewViewModel over a fake guest: which read is made for which item, failures, and a
// late result for an earlier selection being dropped.

#include <sys/socket.h>

#include <QBuffer>
#include <QImage>

#include <gtest/gtest.h>

#include <deque>

#include "app/browser/file_browser_view_model.h"
#include "app/preview/file_preview_view_model.h"
#include "app_test_support.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "rpc/base64.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;
using model::FileItem;

FileItem file(const QString& name, bool isDirectory = false) {
    FileItem item;
    item.name = name;
    item.path = item.id = "/" + name;
    item.isDirectory = isDirectory;
    return item;
}

std::string encoded(const QByteArray& bytes) {
    return "\"" + rpc::base64Encode(std::string_view(bytes.constData(), bytes.size())) + "\"";
}

class PreviewTest : public ::testing::Test {
protected:
    PreviewTest() {
        ensureApplication();
        int pair[2];
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
        guest = std::make_unique<FakeGuest>(UniqueFd(pair[1]), [this](const std::string& method) {
            requests.push_back(method);
            if (replies.empty())
                return GuestReply::error("No such file or directory");
            GuestReply reply = replies.front();
            replies.pop_front();
            return reply;
        });
        transport.connect(UniqueFd(pair[0]));
        browser.fileOpService = std::make_shared<fileops::FileOperationService>(transport);
        browser.currentPartition = QStringLiteral("sdb2");
        preview.fileBrowserVM = &browser;
    }

    guest::VsockTransport transport;
    std::unique_ptr<FakeGuest> guest;
    std::deque<GuestReply> replies;
    std::vector<std::string> requests;
    FileBrowserViewModel browser;
    FilePreviewViewModel preview;
};

TEST_F(PreviewTest, DirectoriesClearThePreviewWithoutARead) {
    replies.push_back(GuestReply::result(encoded("hello")));
    run(preview.loadPreview(file("notes.txt")));
    EXPECT_EQ(preview.previewText(), "hello");
    run(preview.loadPreview(file("docs", true)));
    EXPECT_FALSE(preview.previewText());
    EXPECT_EQ(preview.selectedItem()->name, "docs");
    EXPECT_EQ(requests.size(), 1u);
}

TEST_F(PreviewTest, ImagesByExtensionInAnyCaseAndUndecodableImagesGiveNothing) {
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::red);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    replies.push_back(GuestReply::result(encoded(png)));
    run(preview.loadPreview(file("photo.PNG")));
    ASSERT_TRUE(preview.previewImage());
    EXPECT_EQ(preview.previewImage()->size(), QSize(4, 3));
    EXPECT_FALSE(preview.previewText());
    EXPECT_FALSE(preview.hexDump());

    replies.push_back(GuestReply::result(encoded("not a picture")));
    run(preview.loadPreview(file("broken.jpg")));
    EXPECT_FALSE(preview.previewImage());
    EXPECT_FALSE(preview.previewText());
    EXPECT_FALSE(preview.isLoadingPreview());
}

TEST_F(PreviewTest, OtherFilesGetAHexDumpAndFailuresLeaveEverythingEmpty) {
    replies.push_back(GuestReply::result(encoded(QByteArray())));
    run(preview.loadPreview(file("empty.bin")));
    EXPECT_EQ(preview.hexDump(), "");
    EXPECT_EQ(preview.rawData(), QByteArray());

    LogCapture logs;
    run(preview.loadPreview(file("gone.bin")));  // the guest answers with an error
    EXPECT_FALSE(preview.hexDump());
    EXPECT_FALSE(preview.rawData());
    EXPECT_FALSE(preview.isLoadingPreview());
    EXPECT_TRUE(logs.contains("Hex preview failed for gone.bin: No such file or directory"));
    run(preview.loadPreview(file("gone.txt")));
    EXPECT_TRUE(logs.contains("Preview failed for gone.txt: No such file or directory"));
}

TEST_F(PreviewTest, ALateResultForAnEarlierSelectionIsDropped) {
    replies.push_back(GuestReply::result(encoded("old")).after(std::chrono::milliseconds(300)));
    replies.push_back(GuestReply::result(encoded("new")));
    bool firstDone = false;
    auto first = [&]() -> QCoro::Task<void> {
        co_await preview.loadPreview(file("first.txt"));
        firstDone = true;
    };
    first();
    run(preview.loadPreview(file("second.txt")));
    EXPECT_EQ(preview.previewText(), "new");
    EXPECT_FALSE(preview.isLoadingPreview());
    ASSERT_TRUE(spinUntil([&] { return firstDone; }));
    EXPECT_EQ(preview.previewText(), "new");
    EXPECT_EQ(preview.selectedItem()->name, "second.txt");
    EXPECT_FALSE(preview.isLoadingPreview());
}

TEST_F(PreviewTest, WithoutAServiceThePreviewFailsQuietly) {
    browser.fileOpService.reset();
    LogCapture logs;
    run(preview.loadPreview(file("a.txt")));
    EXPECT_FALSE(preview.previewText());
    EXPECT_TRUE(logs.contains("Preview failed for a.txt: Invalid data received from VM"));
    preview.fileBrowserVM = nullptr;
    run(preview.loadPreview(file("b.txt")));
    EXPECT_EQ(preview.selectedItem()->name, "b.txt");
    EXPECT_TRUE(requests.empty());
}

}  // namespace
}  // namespace quorvale::app
