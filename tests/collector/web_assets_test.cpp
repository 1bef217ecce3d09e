// The page's routing: which request paths give the page, which a static file, which nothing.
#include <gtest/gtest.h>

#include <string>

#include "tools/collector/web/assets.h"

using veska::web::find_asset;

TEST(WebAssets, EveryViewPathGivesThePageHtml) {
  const veska::web::Asset *page = find_asset("/");
  ASSERT_NE(page, nullptr);
  EXPECT_STREQ(page->content_type, "text/html; charset=utf-8");
  std::string html(reinterpret_cast<const char *>(page->data), page->size);
  EXPECT_NE(html.find("<script type=\"module\" src=\"/static/app.js\">"), std::string::npos);
  for (const char *path : {"/clients", "/t/abc", "/t/a%2Fb/c"}) {
    EXPECT_EQ(find_asset(path), page) << path;
  }
}

TEST(WebAssets, StaticFilesAreFoundByExactNameOnly) {
  const veska::web::Asset *script = find_asset("/static/app.js");
  ASSERT_NE(script, nullptr);
  EXPECT_STREQ(script->content_type, "text/javascript; charset=utf-8");
  EXPECT_GT(script->size, 0u);
  ASSERT_NE(find_asset("/static/style.css"), nullptr);
  EXPECT_STREQ(find_asset("/static/style.css")->content_type, "text/css; charset=utf-8");
  for (const char *path : {"/t/", "/t", "/index.html", "/static/", "/static/../assets.cpp",
                           "/static/app.js/", "/STATIC/app.js", "/clients/", "/api/clients", ""}) {
    EXPECT_EQ(find_asset(path), nullptr) << path;
  }
}

TEST(WebAssets, PolicyAllowsOnlyTheCollectorsOwnOrigin) {
  const std::string policy = veska::web::kContentSecurityPolicy;
  EXPECT_NE(policy.find("default-src 'self'"), std::string::npos);
  EXPECT_NE(policy.find("script-src 'self'"), std::string::npos);
  EXPECT_NE(policy.find("object-src 'none'"), std::string::npos);
  EXPECT_EQ(policy.find("unsafe"), std::string::npos);
  EXPECT_EQ(policy.find("http"), std::string::npos);
}
