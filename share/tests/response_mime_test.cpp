// The response object over an in-memory connection, the MIME table and the
// text helpers it relies on.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include "share/errors.h"
#include "share/http_request.h"
#include "share/http_response.h"
#include "share/io_handler.h"
#include "share/mime_table.h"
#include "share/tests/raw_client.h"
#include "share/text.h"

namespace skan::share {
namespace {

struct ResponseFixture {
  TMemoryIOHandler io{""};
  THTTPRequestInfo request;
  TThreadSafeMimeTable mime;
  THTTPResponseInfo response{io, request, mime};
  ResponseFixture() {
    request.CommandType = hcGET;
    response.Date = 1741334702;
  }
};

TEST(HttpDate, KnownVectors) {
  EXPECT_EQ(FormatHTTPDate(1741334702), "Fri, 07 Mar 2025 08:05:02 GMT");
  EXPECT_EQ(FormatHTTPDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
  EXPECT_EQ(FormatHTTPDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
}

TEST(Response, ContentTypeAndCharsetRules) {
  struct Case {
    const char* value;
    const char* type;
    const char* charset;
  };
  const Case cases[] = {
      {"application/pdf", "application/pdf", ""},
      {"text/html", "text/html", "ISO-8859-1"},
      {"text/xml", "text/xml", "us-ascii"},
      {"text/xml-external-parsed-entity", "text/xml-external-parsed-entity", "us-ascii"},
      {"text/svg+xml", "text/svg+xml", "us-ascii"},
      {"text/html; charset=utf-8", "text/html", "utf-8"},
      {"text/plain; format=flowed; charset=\"koi8-r\"", "text/plain; format=flowed", "koi8-r"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ResponseFixture f;
    f.response.SetContentType(c.value);
    EXPECT_EQ(f.response.ContentType(), c.type);
    EXPECT_EQ(f.response.CharSet, c.charset);
  }
}

TEST(Response, StatusTexts) {
  ResponseFixture f;
  f.response.SetResponseNo(414);
  EXPECT_EQ(f.response.ResponseText, "Request-URI Too Long. 256 Chars max");
  f.response.SetResponseNo(299);
  EXPECT_EQ(f.response.ResponseText, "Unknown Response Code");
  EXPECT_FALSE(f.response.CloseConnection);
  f.response.SetResponseNo(404);
  EXPECT_TRUE(f.response.CloseConnection);
}

TEST(Response, DefaultBodyAndHeaderOrder) {
  ResponseFixture f;
  f.response.Connection = "close";
  f.response.ContentDisposition = "attachment";
  f.response.CacheControl = "no-cache";
  f.response.Location = "/x";
  f.response.CustomHeaders.push_back("X-One: 1");
  f.response.WriteContent();
  EXPECT_EQ(f.io.Output(),
            "HTTP/1.1 200 OK\r\n"
            "Connection: close\r\n"
            "Content-Disposition: attachment\r\n"
            "Content-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 39\r\n"
            "Cache-control: no-cache\r\n"
            "Date: Fri, 07 Mar 2025 08:05:02 GMT\r\n"
            "X-One: 1\r\n"
            "Location: /x\r\n"
            "\r\n"
            "<HTML><BODY><B>200 OK</B></BODY></HTML>");
}

TEST(Response, TextBodyLengthIsInItsCharset) {
  ResponseFixture f;
  f.response.ContentText = "\xC5\xBC\xC3\xB3\xC5\x82w";  // "żółw" in UTF-8
  f.response.WriteContent();
  THttpAnswer a = ParseAnswer(f.io.Output(), true);
  EXPECT_EQ(a.Header("Content-Type"), "text/html; charset=ISO-8859-1");
  EXPECT_EQ(a.Header("Content-Length"), "4");
  EXPECT_EQ(a.body, "?\xF3?w");
}

TEST(Response, SecondHeaderWriteFails) {
  ResponseFixture f;
  f.response.WriteHeader();
  try {
    f.response.WriteHeader();
    FAIL();
  } catch (const TShareException& e) {
    EXPECT_STREQ(e.what(), "Header has already been written.");
  }
}

TEST(Response, HeaderTextIsSevenBitAscii) {
  ResponseFixture f;
  f.response.ContentDisposition = "attachment; filename=\"skan \xC5\xBC \xF0\x9F\x98\x80.pdf\";";
  f.response.ContentLength = 0;
  f.response.WriteHeader();
  EXPECT_THAT(f.io.Output(), ::testing::HasSubstr("filename=\"skan ? ??.pdf\";\r\n"));
}

TEST(MimeTable, BuiltInRowsAndFallback) {
  TMimeTable t;
  t.LoadTypesFromOS = false;
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Temp\\tmp5A3F.pdf", "application/pdf"},
      {"page.BMP", "image/bmp"},
      {"a.htm", "text/html"},
      {"a.html", "text/html"},
      {"a.txt", "text/plain"},
      {"a.jpg", "image/jpeg"},
      {"a.jpeg", "image/jpeg"},
      {"a.png", "image/x-png"},
      {"a.tif", "image/x-tiff"},
      {"a.zip", "application/x-zip-compressed"},
      {"noext", "application/octet-stream"},
      {"a.unknownext", "application/octet-stream"},
      {"dir.d/noext", "application/octet-stream"},
      {"", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(t.GetFileMIMEType(name), type) << name;
}

TEST(MimeTable, FileExtension) {
  EXPECT_EQ(FileExtension("a.b.PDF"), ".pdf");
  EXPECT_EQ(FileExtension("dir.d/file"), "");
  EXPECT_EQ(FileExtension(".hidden"), ".hidden");
  EXPECT_EQ(FileExtension("file."), ".");
}

#ifndef _WIN32
TEST(MimeTable, MimeTypesFileOverridesBuiltIns) {
  TTempDir dir;
  WriteFileBytes(dir.Path() / "mime.types",
                 "# comment\nimage/png png\napplication/x-Skan skn SKX # trailing\n\nimage/second png\n");
  TMimeTable t;
  t.MimeTypesFile = dir.Path() / "mime.types";
  EXPECT_EQ(t.GetFileMIMEType("a.png"), "image/second");
  EXPECT_EQ(t.GetFileMIMEType("a.skx"), "application/x-skan");
  EXPECT_EQ(t.GetFileMIMEType("a.pdf"), "application/pdf");
}
#else
// Keys of the test's own under HKEY_CLASSES_ROOT, removed before and after,
// so a run that was cut short leaves nothing that changes the next one.
class TRegistryKeys {
 public:
  TRegistryKeys() { Remove(); }
  ~TRegistryKeys() { Remove(); }
  bool Set(const std::wstring& key, const wchar_t* value, const std::wstring& data) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h, nullptr) !=
        ERROR_SUCCESS)
      return false;
    const LONG rc = RegSetValueExW(h, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
  }

  static constexpr const wchar_t* kDatabase = L"MIME\\Database\\Content Type\\";
  static constexpr const wchar_t* kKeys[] = {
      L".sknkey",
      L".skncase",
      L".sknboth",
      L".sknempty",
      L".pnm",
      L"MIME\\Database\\Content Type\\Application/X-Skn-Db",
      L"MIME\\Database\\Content Type\\application/x-skn-db-wins",
      L"MIME\\Database\\Content Type\\application/x-skn-db-dot",
  };

 private:
  static void Remove() {
    for (const wchar_t* k : kKeys) RegDeleteTreeW(HKEY_CLASSES_ROOT, k);
  }
};

// The registry's entries override the built-in rows, and the MIME database's
// entries override the per-extension keys; both sides are lower-cased.
TEST(MimeTable, RegistryOverlayOrder) {
  TRegistryKeys keys;
  const std::wstring db = TRegistryKeys::kDatabase;
  ASSERT_TRUE(keys.Set(L".sknkey", L"Content Type", L"application/x-skn-key"));
  ASSERT_TRUE(keys.Set(L".skncase", L"Content Type", L"Application/X-SKN-Case"));
  ASSERT_TRUE(keys.Set(L".sknboth", L"Content Type", L"application/x-skn-key-loses"));
  ASSERT_TRUE(keys.Set(L".sknempty", L"Content Type", L""));
  ASSERT_TRUE(keys.Set(L".pnm", L"Content Type", L"image/x-skn-over-built-in"));
  ASSERT_TRUE(keys.Set(db + L"Application/X-Skn-Db", L"Extension", L"SKNDB"));  // no dot
  ASSERT_TRUE(keys.Set(db + L"application/x-skn-db-wins", L"Extension", L".sknboth"));
  ASSERT_TRUE(keys.Set(db + L"application/x-skn-db-dot", L"Extension", L".skndot"));

  TMimeTable t;  // reads HKEY_CLASSES_ROOT
  const std::pair<const char*, const char*> cases[] = {
      {"a.sknkey", "application/x-skn-key"},       // a key alone
      {"a.SKNCASE", "application/x-skn-case"},     // lower-cased
      {"a.sknboth", "application/x-skn-db-wins"},  // the database over the key
      {"a.sknempty", "application/octet-stream"},  // an empty value adds nothing
      {"a.pnm", "image/x-skn-over-built-in"},      // the registry over the built-in row
      {"a.skndb", "application/x-skn-db"},         // a dot is put in front
      {"a.skndot", "application/x-skn-db-dot"},
      {"a.zip", "application/x-zip-compressed"},  // built-in rows stay otherwise
      {"noext", "application/octet-stream"},
  };
  for (const auto& [name, type] : cases) EXPECT_EQ(t.GetFileMIMEType(name), type) << name;
}
#endif

TEST(Text, Conversions) {
  EXPECT_EQ(AsciiFromBytes("a\xFFz"), "a\xEF\xBF\xBDz");
  EXPECT_EQ(EncodeInCharSet("\xC5\xBC"
                            "a",
                            "us-ascii"),
            "?a");
  EXPECT_EQ(EncodeInCharSet("\xC5\xBC"
                            "a",
                            "utf-8"),
            "\xC5\xBC"
            "a");
  EXPECT_EQ(UrlDecode("a%20b+c%zz%4"), "a b+c%zz%4");
  EXPECT_EQ(UrlDecode("a+b", true), "a b");
  EXPECT_EQ(Base64Decode("dXNlcjpwYXNz"), "user:pass");
  EXPECT_EQ(ToHeaderAscii("\xC5"), "?");  // truncated sequence
}

}  // namespace
}  // namespace skan::share
