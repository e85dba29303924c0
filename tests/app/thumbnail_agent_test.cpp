// Grid thumbnails read through the real agent: decoded and scaled, the picture a camera embeds
// in a large JPEG read from the file's start only, nothing read for what cannot have one, and
// the queue bounded.

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "app/preview/thumbnail_cache.h"
#include "app_test_support.h"
#include "fileops/file_operation_service.h"
#include "guest/vsock_transport.h"
#include "host_agent.h"

namespace quorvale::app {
namespace {

using namespace quorvale::testing;

QByteArray encoded(const QColor& color, QSize size, const char* format) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    EXPECT_TRUE(image.save(&buffer, format));
    return bytes;
}

// A JPEG with an Exif segment holding `embedded` right after its start marker.
QByteArray withExif(const QByteArray& jpeg, const QByteArray& embedded) {
    QByteArray exif = QByteArray("Exif\0\0II*\0\x08\0\0\0", 14) + embedded;
    const auto length = static_cast<quint16>(exif.size() + 2);
    QByteArray segment("\xFF\xE1", 2);
    segment.append(char(length >> 8)).append(char(length & 0xFF)).append(exif);
    return jpeg.left(2) + segment + jpeg.mid(2);
}

class ThumbnailTest : public ::testing::Test {
protected:
    ThumbnailTest() {
        agent.connect(transport);
        service = std::make_shared<fileops::FileOperationService>(transport);
        cache.reset(service, QStringLiteral("sdb2"));
    }

    model::FileItem item(const QString& name) {
        const QList<model::FileItem> listing = run(service->listDirectory("/"));
        for (const model::FileItem& entry : listing)
            if (entry.name == name)
                return entry;
        ADD_FAILURE() << "no " << name.toStdString();
        return {};
    }
    // The picture once made, or nothing when none comes.
    std::optional<QImage> waitFor(const model::FileItem& entry) {
        if (!cache.thumbnail(entry)) {
            EXPECT_TRUE(spinUntil([&] { return cache.idle(); }));
        }
        return cache.thumbnail(entry);
    }

    HostAgent agent;
    guest::VsockTransport transport;
    std::shared_ptr<fileops::FileOperationService> service;
    ThumbnailCache cache;
};

TEST_F(ThumbnailTest, PicturesAreScaledToFitAndKeptPerMount) {
    agent.writeFile("red.png", encoded(Qt::red, {400, 300}, "PNG"));
    agent.writeFile("tiny.gif", encoded(Qt::green, {20, 10}, "BMP"));  // named wrongly, decodes
    const model::FileItem red = item("red.png");
    QStringList ready;
    QObject::connect(&cache, &ThumbnailCache::thumbnailReady,
                     [&](const QString& id) { ready << id; });
    EXPECT_FALSE(cache.thumbnail(red)) << "asking never waits";
    const std::optional<QImage> picture = waitFor(red);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->size(), QSize(160, 120));
    EXPECT_EQ(picture->pixelColor(80, 60).rgb(), QColor(Qt::red).rgb());
    EXPECT_EQ(ready, QStringList{"/red.png"});
    const std::optional<QImage> tiny = waitFor(item("tiny.gif"));
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->size(), QSize(20, 10)) << "small pictures are not enlarged";

    const std::uint64_t read = cache.bytesRead();
    EXPECT_TRUE(cache.thumbnail(red)) << "kept";
    EXPECT_EQ(cache.bytesRead(), read) << "nothing read again";
    cache.reset(service, QStringLiteral("sdb2"));
    EXPECT_FALSE(cache.thumbnail(red)) << "a new mount starts over";
    EXPECT_TRUE(waitFor(red));
}

TEST_F(ThumbnailTest, ALargeJpegGivesItsEmbeddedPictureFromItsFirstBytes) {
    const QByteArray embedded = encoded(Qt::blue, {120, 90}, "JPEG");
    QByteArray photo = withExif(encoded(Qt::red, {64, 48}, "JPEG"), embedded);
    photo.append(QByteArray(ThumbnailCache::kMaxSourceBytes + 4096, '\0'));
    agent.writeFile("camera.jpg", photo);
    ASSERT_EQ(ThumbnailCache::embeddedJpeg(photo.left(4096)), embedded);

    const std::optional<QImage> picture = waitFor(item("camera.jpg"));
    ASSERT_TRUE(picture);
    const QColor middle = picture->pixelColor(picture->width() / 2, picture->height() / 2);
    EXPECT_GT(middle.blue(), 200);
    EXPECT_LT(middle.red(), 60);
    EXPECT_EQ(cache.bytesRead(), std::uint64_t(ThumbnailCache::kExifBytes));
}

TEST_F(ThumbnailTest, WhatCannotHaveAPictureIsNotReadAndFailuresAreNotRetried) {
    agent.writeFile("huge.png", QByteArray(ThumbnailCache::kMaxSourceBytes + 1, 'x'));
    agent.writeFile("plain.jpg", QByteArray(ThumbnailCache::kMaxSourceBytes + 1, 'x'));
    agent.writeFile("broken.jpg", "not a picture");
    agent.writeFile("drawing.svg", "<svg/>");
    agent.writeFile("notes.txt", "text");
    for (const char* name : {"huge.png", "drawing.svg", "notes.txt"}) {
        EXPECT_FALSE(ThumbnailCache::canHaveThumbnail(item(name))) << name;
        EXPECT_FALSE(cache.thumbnail(item(name)));
    }
    EXPECT_EQ(cache.queued(), 0);
    EXPECT_FALSE(waitFor(item("plain.jpg"))) << "a large JPEG without Exif has none";
    EXPECT_EQ(cache.bytesRead(), std::uint64_t(ThumbnailCache::kExifBytes));
    EXPECT_FALSE(waitFor(item("broken.jpg")));
    const std::uint64_t read = cache.bytesRead();
    EXPECT_FALSE(cache.thumbnail(item("broken.jpg")));
    EXPECT_TRUE(cache.idle());
    EXPECT_EQ(cache.bytesRead(), read) << "not asked again";
}

TEST_F(ThumbnailTest, TheQueueKeepsOnlyTheNewestRequests) {
    agent.writeFile("one.png", encoded(Qt::red, {8, 8}, "PNG"));
    const model::FileItem one = item("one.png");
    for (int i = 0; i < 300; ++i) {
        model::FileItem other = one;
        other.path = other.id = QStringLiteral("/gone-%1.png").arg(i);
        cache.thumbnail(other);
    }
    EXPECT_LE(cache.queued(), ThumbnailCache::kMaxQueued);
    // The newest request comes before everything still queued.
    EXPECT_TRUE(waitFor(one));
}

}  // namespace
}  // namespace quorvale::app
