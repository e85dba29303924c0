// quorvale-cli's arguments: SOURCE:PATH remote paths, the SOURCE given first, and which
// arguments are remote.

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "cli_arguments.h"

namespace quorvale::app::cli {
namespace {

class CliArgumentsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir(dir.path()).mkpath("odd:"));
        for (const char* name : {"a.img", "b.img", "local.txt", "odd:/c.img"}) {
            QFile file(dir.filePath(name));
            ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << name;
        }
    }
    QString at(const char* name) const { return dir.filePath(name); }

    QTemporaryDir dir;
};

TEST_F(CliArgumentsTest, RemotePathsNameAnExistingImageOrAWholeDisk) {
    const struct {
        QString text;
        std::optional<SourceSpec> source;
        QString path;
    } cases[] = {
        {at("a.img") + ":/docs", SourceSpec{at("a.img"), ""}, "/docs"},
        {at("a.img") + ":2:/docs/x:/y", SourceSpec{at("a.img"), "2"}, "/docs/x:/y"},
        {at("a.img") + ":image0p2:/", SourceSpec{at("a.img"), "image0p2"}, "/"},
        {at("odd:/c.img") + ":/etc", SourceSpec{at("odd:/c.img"), ""}, "/etc"},
        {"sdb:/x", SourceSpec{"sdb", ""}, "/x"},
        {"mmcblk0:1:/x", SourceSpec{"mmcblk0", "1"}, "/x"},
        {"/docs", std::nullopt, ""},
        {at("a.img"), std::nullopt, ""},
        {at("missing.img") + ":/x", std::nullopt, ""},
        {"sdb1:/x", std::nullopt, ""},  // a partition is chosen after the disk: sdb:1:/x
        {"../sdb:/x", std::nullopt, ""},
        {":/x", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        const auto remote = parseRemote(c.text);
        ASSERT_EQ(remote.has_value(), c.source.has_value()) << c.text.toStdString();
        if (remote) {
            EXPECT_EQ(remote->source, *c.source) << c.text.toStdString();
            EXPECT_EQ(remote->path, c.path) << c.text.toStdString();
        }
    }
}

TEST_F(CliArgumentsTest, SourcesAreCollectedOncePerRunInTheOrderNamed) {
    const CommandShape ls{"ls", {Role::remote}};
    const CommandShape put{"put", {Role::local, Role::remote}};
    const CommandShape rm{"rm", {Role::remote}, true};
    const CommandShape mv{"mv", {Role::remote, Role::name}};
    const CommandShape cp{"cp", {Role::remote, Role::remote}};
    const CommandShape df{"df", {}};
    const SourceSpec a{at("a.img"), ""}, b{at("b.img"), ""}, b2{at("b.img"), "2"};
    const QString A = at("a.img"), B = at("b.img"), local = at("local.txt");
    const struct {
        const CommandShape& shape;
        QStringList args;
        std::vector<SourceSpec> sources;
        QStringList values;
        std::vector<int> sourceOf;
    } cases[] = {
        {ls, {A, "/docs"}, {a}, {"/docs"}, {0}},
        {ls, {A + ":/docs"}, {a}, {"/docs"}, {0}},
        {cp, {A + ":/x", B + ":2:/y"}, {a, b2}, {"/x", "/y"}, {0, 1}},
        {cp, {A, "/x", B + ":/y"}, {a, b}, {"/x", "/y"}, {0, 1}},
        {cp, {A, "/x", "/y"}, {a}, {"/x", "/y"}, {0, 0}},
        {cp, {A + ":/x", A + ":/y"}, {a}, {"/x", "/y"}, {0, 0}},
        {put, {local, A + ":/"}, {a}, {local, "/"}, {-1, 0}},
        {put, {A, local, "/x"}, {a}, {local, "/x"}, {-1, 0}},
        {rm, {A + ":/x", B + ":/y", A + ":/z"}, {a, b}, {"/x", "/y", "/z"}, {0, 1, 0}},
        {rm, {A, "/x", "/y"}, {a}, {"/x", "/y"}, {0, 0}},
        {mv, {A + ":/x", "new name"}, {a}, {"/x", "new name"}, {0, -1}},
        {df, {A + ":2"}, {SourceSpec{A, "2"}}, {}, {}},
    };
    for (const auto& c : cases) {
        const Invocation invocation = resolveArguments(c.shape, c.args);
        const std::string what = (c.shape.name + " " + c.args.join(' ')).toStdString();
        EXPECT_EQ(invocation.sources, c.sources) << what;
        EXPECT_EQ(invocation.values, c.values) << what;
        EXPECT_EQ(invocation.sourceOf, c.sourceOf) << what;
    }

    const struct {
        const CommandShape& shape;
        QStringList args;
    } wrong[] = {
        {ls, {}}, {ls, {A}},      {ls, {A, "/x", "/y"}}, {cp, {A + ":/x"}}, {cp, {A + ":/x", "/y"}},
        {df, {}}, {put, {local}}, {mv, {A + ":/x"}},     {rm, {A}},
    };
    for (const auto& c : wrong)
        EXPECT_THROW(resolveArguments(c.shape, c.args), UsageError)
            << (c.shape.name + " " + c.args.join(' ')).toStdString();
}

}  // namespace
}  // namespace quorvale::app::cli
