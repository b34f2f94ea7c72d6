// The start-up options and the environment both programs read.
#include <gtest/gtest.h>

#include <cstdlib>

#include "config/appconfig.h"
#include "support/scopedenv.h"

namespace {

using testsupport::ScopedEnv;

QString Url(const appconfig::Options& o, const char* file)
{
    return appconfig::CatalogueUrl(o.catalogueHost, QString::fromLatin1(file));
}

}  // namespace

TEST(AppConfig, CatalogueHostIsAHostOrABaseAddress)
{
    using appconfig::ParseOptions;
    appconfig::Options o = ParseOptions({"--catalogue-host", "https://mirror.example/path"});
    EXPECT_TRUE(o.error.isEmpty()) << o.error.toStdString();
    EXPECT_EQ(Url(o, "develop.inf"), "https://mirror.example/path/ML/develop.inf");
    o = ParseOptions({"--catalogue-host=HTTP://127.0.0.1:8080/"});
    EXPECT_EQ(Url(o, "legacy.inf"), "HTTP://127.0.0.1:8080/ML/legacy.inf");
    EXPECT_EQ(Url(ParseOptions({"--catalogue-host", "127.0.0.1:8080"}), "legacy.inf"),
              "http://127.0.0.1:8080/ML/legacy.inf");
    EXPECT_EQ(Url(ParseOptions({}), "develop.inf"),
              QStringLiteral("http://") + appconfig::kCatalogueHost + "/ML/develop.inf");
    EXPECT_EQ(ParseOptions({"--catalogue-host=https://m.example/a=b"}).catalogueHost, "https://m.example/a=b");
    for (const char* bad : {"ftp://mirror.example/path", "https://user:pw@mirror.example/",
                            "https://mirror.example/?q=1", "https://mirror.example/#x", "https://", "https:///path",
                            "mirror.example/path", "host:port", "https://mirror.example:80:80/"}) {
        o = ParseOptions({"--catalogue-host", bad});
        EXPECT_FALSE(o.error.isEmpty()) << bad;
        EXPECT_EQ(o.catalogueHost, appconfig::kCatalogueHost) << bad;
    }
}

TEST(AppConfig, EnvironmentIsReadAlikeForBothPrograms)
{
    {
        ScopedEnv env("FLINTOR_CATALOGUE_HOST", "https://env.example:8443/m");
        EXPECT_EQ(Url(appconfig::ParseOptions({}), "develop.inf"), "https://env.example:8443/m/ML/develop.inf");
        QString error;
        EXPECT_EQ(appconfig::CatalogueHostFromEnvironment(&error), "https://env.example:8443/m");
        EXPECT_TRUE(error.isEmpty());
    }
    {
        ScopedEnv env("FLINTOR_CATALOGUE_HOST", "ftp://nowhere");
        QString error;
        EXPECT_EQ(appconfig::CatalogueHostFromEnvironment(&error), appconfig::kCatalogueHost);
        EXPECT_FALSE(error.isEmpty());
        EXPECT_FALSE(appconfig::ParseOptions({}).error.isEmpty());
    }
    const struct {
        const char* value;
        bool include;
    } loops[] = {{"1", true},  {"true", true}, {"TRUE", true}, {"Yes", true},
                 {"0", false}, {"no", false},  {"", false},    {nullptr, false}};
    for (const auto& c : loops) {
        ScopedEnv env("FLINTOR_INCLUDE_LOOP", c.value);
        EXPECT_EQ(appconfig::IncludeLoopFromEnvironment(), c.include) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(appconfig::ParseOptions({}).includeLoop, c.include) << (c.value ? c.value : "(unset)");
    }
}

TEST(AppConfig, LocalBuildOption)
{
    using appconfig::ParseOptions;
    const appconfig::Options o = ParseOptions({"--build", "/tmp/my build.zip"});
    EXPECT_TRUE(o.error.isEmpty());
    EXPECT_EQ(o.localBuild, "/tmp/my build.zip");
    EXPECT_EQ(ParseOptions({"--build=/tmp/b.zip"}).localBuild, "/tmp/b.zip");
    EXPECT_FALSE(ParseOptions({"--build"}).error.isEmpty());
}
