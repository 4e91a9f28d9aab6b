#include "runtime/response.h"

#include <gtest/gtest.h>

namespace {

using rt::Verdict;

TEST(Response, ParseReadsTheHeadersThatDecideWhatIsWritten) {
  auto head = rt::ParseHead(
      "HTTP/1.1 206 Partial Content\r\ncontent-range: bytes 100-199/1000\r\nCONTENT-LENGTH:  100 \r\n"
      "ETag: \"abc\"\r\nLast-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\nX-Other: 1\r\n\r\nbody? ignored");
  ASSERT_TRUE(head);
  EXPECT_EQ(head->status, 206);
  EXPECT_EQ(head->contentLength, 100);
  EXPECT_TRUE(head->hasContentRange);
  EXPECT_EQ(head->rangeFirst, 100);
  EXPECT_EQ(head->rangeLast, 199);
  EXPECT_EQ(head->rangeTotal, 1000);
  EXPECT_EQ(head->etag, "\"abc\"");
  EXPECT_EQ(head->lastModified, "Tue, 01 Dec 2026 10:00:00 GMT");
  EXPECT_FALSE(head->rangesRefused);

  auto plain = rt::ParseHead("HTTP/1.0 200\nAccept-Ranges: none\n");  // bare LF, no reason
  ASSERT_TRUE(plain);
  EXPECT_EQ(plain->status, 200);
  EXPECT_EQ(plain->contentLength, -1);
  EXPECT_FALSE(plain->hasContentRange);
  EXPECT_TRUE(plain->rangesRefused);

  auto star = rt::ParseHead("HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9/*\r\n\r\n");
  ASSERT_TRUE(star);
  EXPECT_EQ(star->rangeTotal, -1);
  auto unsatisfied = rt::ParseHead("HTTP/1.1 416 No\r\nContent-Range: bytes */50\r\n\r\n");
  ASSERT_TRUE(unsatisfied);
  EXPECT_EQ(unsatisfied->rangeFirst, -1);
  EXPECT_EQ(unsatisfied->rangeTotal, 50);
  // The same value twice is no contradiction.
  EXPECT_TRUE(rt::ParseHead("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\n"));
}

TEST(Response, ParseRefusesHeadsThatCouldPlaceBytesWrongly) {
  const char* bad[] = {
      "",
      "200 OK\r\n\r\n",
      "HTTP/1.1 20 OK\r\n\r\n",
      "HTTP/1.1 2000 OK\r\n\r\n",
      "HTTP/1.1 abc OK\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: -5\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
      "HTTP/1.1 206 OK\r\nContent-Range: bytes 10-5/100\r\n\r\n",
      "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-100/100\r\n\r\n",
      "HTTP/1.1 206 OK\r\nContent-Range: items 0-9/100\r\n\r\n",
      "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9\r\n\r\n",
      "HTTP/1.1 206 OK\r\nContent-Range: bytes 0-9/100\r\nContent-Range: bytes 10-19/100\r\n\r\n",
      "HTTP/1.1 200 OK\r\nETag: \"a\"\r\nETag: \"b\"\r\n\r\n",
      "HTTP/1.1 200 OK\r\nno colon here\r\n\r\n",
  };
  for (const char* raw : bad) EXPECT_FALSE(rt::ParseHead(raw)) << raw;
  EXPECT_FALSE(rt::ParseHead("HTTP/1.1 200 OK\r\nX: " + std::string(70000, 'a') + "\r\n\r\n"));
}

rt::ResponseHead Head(int status, int64_t length, int64_t first, int64_t last, int64_t total, std::string etag,
                      std::string modified = "") {
  rt::ResponseHead h;
  h.status = status;
  h.contentLength = length;
  h.hasContentRange = first >= 0;
  h.rangeFirst = first;
  h.rangeLast = last;
  h.rangeTotal = total;
  h.etag = std::move(etag);
  h.lastModified = std::move(modified);
  return h;
}

TEST(Response, RangeAnswersAreWrittenOnlyWhenTheyAreExactlyWhatWasAskedFor) {
  const rt::Entity tagged{1000, false, "\"v1\"", "Mon"};
  const rt::Entity dated{1000, false, "", "Mon"};
  const rt::Entity bare{1000, false, "", ""};
  struct Case {
    const char* what;
    rt::Entity entity;
    rt::ResponseHead head;
    Verdict verdict;
  } cases[] = {
      {"exact", tagged, Head(206, 100, 100, 199, 1000, "\"v1\"", "Tue"), Verdict::Accept},
      {"exact, no length", bare, Head(206, -1, 100, 199, 1000, ""), Verdict::Accept},
      {"dated", dated, Head(206, 100, 100, 199, 1000, "", "Mon"), Verdict::Accept},
      {"whole body", tagged, Head(200, 1000, -1, -1, -1, "\"v1\""), Verdict::WholeBody},
      {"whole body of another", tagged, Head(200, 1000, -1, -1, -1, "\"v2\""), Verdict::Changed},
      {"whole body, other length", bare, Head(200, 999, -1, -1, -1, ""), Verdict::Changed},
      {"other etag", tagged, Head(206, 100, 100, 199, 1000, "\"v2\""), Verdict::Changed},
      {"etag gone", tagged, Head(206, 100, 100, 199, 1000, ""), Verdict::Changed},
      {"other date", dated, Head(206, 100, 100, 199, 1000, "", "Tue"), Verdict::Changed},
      {"other total", bare, Head(206, 100, 100, 199, 1001, ""), Verdict::Changed},
      {"unknown total", bare, Head(206, 100, 100, 199, -1, ""), Verdict::Changed},
      {"earlier start", bare, Head(206, 100, 99, 198, 1000, ""), Verdict::Retry},
      {"shorter", bare, Head(206, 50, 100, 149, 1000, ""), Verdict::Retry},
      {"length disagrees", bare, Head(206, 101, 100, 199, 1000, ""), Verdict::Retry},
      {"no content-range", bare, Head(206, 100, -1, -1, -1, ""), Verdict::Retry},
      {"unsatisfiable", bare, Head(416, -1, -1, -1, -1, ""), Verdict::Changed},
      {"server error", tagged, Head(500, 10, -1, -1, -1, ""), Verdict::Retry},
      {"busy", tagged, Head(503, 10, -1, -1, -1, ""), Verdict::Retry},
      {"too many", tagged, Head(429, 10, -1, -1, -1, ""), Verdict::Retry},
      {"not found", tagged, Head(404, 10, -1, -1, -1, ""), Verdict::Fatal},
      {"forbidden", tagged, Head(403, 10, -1, -1, -1, ""), Verdict::Fatal},
      {"redirected", tagged, Head(302, 10, -1, -1, -1, ""), Verdict::Fatal},
  };
  for (const Case& c : cases) EXPECT_EQ(rt::JudgeRange(c.head, c.entity, 100, 199), c.verdict) << c.what;
}

TEST(Response, WholeAnswersMustMatchTheEntityOnceItIsKnown) {
  const rt::Entity known{1000, false, "\"v1\"", ""};
  EXPECT_EQ(rt::JudgeWhole(Head(200, -1, -1, -1, -1, ""), nullptr), Verdict::Accept);
  EXPECT_EQ(rt::JudgeWhole(Head(200, 1000, -1, -1, -1, "\"v1\""), &known), Verdict::Accept);
  EXPECT_EQ(rt::JudgeWhole(Head(200, 1000, -1, -1, -1, "\"v2\""), &known), Verdict::Changed);
  EXPECT_EQ(rt::JudgeWhole(Head(200, 999, -1, -1, -1, "\"v1\""), &known), Verdict::Changed);
  EXPECT_EQ(rt::JudgeWhole(Head(200, -1, -1, -1, -1, "\"v1\""), &known), Verdict::Changed);
  EXPECT_EQ(rt::JudgeWhole(Head(206, 10, 0, 9, 1000, "\"v1\""), nullptr), Verdict::Retry);
  EXPECT_EQ(rt::JudgeWhole(Head(404, 10, -1, -1, -1, ""), nullptr), Verdict::Fatal);
  EXPECT_EQ(rt::JudgeWhole(Head(502, 10, -1, -1, -1, ""), nullptr), Verdict::Retry);

  rt::Entity learned = rt::LearnEntity(Head(200, 1234, -1, -1, -1, "\"x\"", "Mon"));
  EXPECT_EQ(learned.total, 1234);
  EXPECT_EQ(learned.etag, "\"x\"");
  EXPECT_EQ(learned.lastModified, "Mon");
}

}  // namespace
