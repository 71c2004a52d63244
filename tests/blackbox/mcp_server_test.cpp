// The MCP server (--mcp) seen from outside: bytes in on standard input, reply
// bytes out on standard output.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "mcp_test_util.h"
#include "test_platform.h"

namespace {

using namespace mcptest;
using vdtest::child_process;
using vdtest::program_path;
using vdtest::run;

constexpr size_t kLimit = 4194304;

// A ping object of exactly `size` bytes, padded inside a string member.
std::string ping_of_size(size_t size, const std::string &id) {
  std::string head = "{\"id\":" + id + ",\"method\":\"ping\",\"pad\":\"";
  std::string tail = "\"}";
  return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

std::string content_length(size_t n) {
  return "Content-Length: " + std::to_string(n) + "\r\n";
}

// ---- Lines and framing ----------------------------------------------------

TEST(McpFraming, PingEndedByCrLf) {
  ASSERT_EQ(kPing1.size(), 40u);
  EXPECT_EQ(serve(kPing1 + "\r\n"), kPong1);
}

TEST(McpFraming, TrailingCrAndSpaceTrimmedLeadingBlanksKept) {
  // Trimming shows in a counted body: the count holds only the trimmed
  // lines, so untrimmed blanks would push the closing brace past the cut.
  std::string l1 = "{\"jsonrpc\":\"2.0\",", l2 = "\"id\":3,\"method\":\"ping\"}";
  EXPECT_EQ(serve(content_length(l1.size() + 1 + l2.size()) + l1 + " \r \r\n" + l2 + "\r \r\n"),
            result("3"));
  // Leading blanks and tabs stay in the message (JSON white space here).
  EXPECT_EQ(serve(" \t" + ping("4") + "\n"), result("4"));
  // A line of only a tab is not blank: it is a message, and not JSON.
  EXPECT_EQ(serve("\t\n" + kPing1 + "\n"), error("null", -32700, "parse error") + kPong1);
}

TEST(McpFraming, EmptyAndBlankLinesGiveNoReply) {
  EXPECT_EQ(serve("\n\n \n\r\n \r \r\n\r\r\r\n" + kPing1 + "\n\n  \n" + ping("2") + "\n\n"),
            kPong1 + result("2"));
  EXPECT_EQ(serve("\n \r\n   "), "");
  EXPECT_EQ(serve(""), "");
}

TEST(McpFraming, FinalLineWithoutLf) {
  EXPECT_EQ(serve(kPing1), kPong1);
  EXPECT_EQ(serve(kPing1 + "\n" + ping("2") + " \r"), kPong1 + result("2"));
  EXPECT_EQ(serve("{\"id\":1,"), error("null", -32700, "parse error"));
}

TEST(McpFraming, TwoMessagesInOneWriteAnsweredWithoutMoreInput) {
  child_process c(mcp_args(), mcp_env());
  ASSERT_TRUE(c.write(kPing1 + "\n" + ping("2") + "\r\n"));
  // Standard input stays open: the second reply must come from the bytes
  // already read, not wait for another read.
  EXPECT_EQ(c.read_line(), line(kPong1));
  EXPECT_EQ(c.read_line(), line(result("2")));
  // Same with a counted message following a plain one in one block.
  ASSERT_TRUE(c.write(ping("3") + "\n" + content_length(40) + kPing1 + "\n"));
  EXPECT_EQ(c.read_line(), line(result("3")));
  EXPECT_EQ(c.read_line(), line(kPong1));
  c.close_stdin();
  EXPECT_EQ(c.read_rest(), "");
  EXPECT_EQ(c.wait(), 0);
}

TEST(McpFraming, MessageSplitAcrossWritesAnsweredBeforeNextWrite) {
  child_process c(mcp_args(), mcp_env());
  const std::string pieces[] = {"{\"jsonrpc\":", "\"2.0\",\"id\":", "1,\"method\":\"ping\"}", "\r"};
  for (const auto &p : pieces) {
    ASSERT_TRUE(c.write(p));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(c.read_line(50), std::nullopt) << "a reply before the line ended";
  }
  ASSERT_TRUE(c.write("\n"));
  EXPECT_EQ(c.read_line(), line(kPong1));
  // A counted body over several writes: its reply arrives once the count is
  // reached at the end of a line, with no further input.
  for (std::string p : {content_length(41), std::string("{\"jsonrpc\":\"2.0\",\"id\":"),
                        std::string("5,\"method\":\"ping\"}\n")}) {
    ASSERT_TRUE(c.write(p));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
  }
  EXPECT_EQ(c.read_line(), line(result("5")));
  ASSERT_TRUE(c.write(ping("6") + "\n"));
  EXPECT_EQ(c.read_line(), line(result("6")));
  c.close_stdin();
  EXPECT_EQ(c.wait(), 0);
}

TEST(McpFraming, ContentLengthBodyOnNextLine) {
  EXPECT_EQ(serve(content_length(40) + kPing1 + "\n"), kPong1);
  EXPECT_EQ(serve("Content-Length:40\n" + kPing1 + "\n" + ping("2") + "\n"), kPong1 + result("2"));
  // The rest of the line past the count is dropped.
  EXPECT_EQ(serve(content_length(40) + kPing1 + "}}garbage\n" + ping("2") + "\n"),
            kPong1 + result("2"));
  // Replies are plain lines even for counted requests.
  EXPECT_EQ(serve(content_length(40) + kPing1 + "\r\n" + content_length(40) + kPing1),
            kPong1 + kPong1);
}

TEST(McpFraming, ContentLengthTwoLineBody) {
  std::string l1 = "{\"jsonrpc\":\"2.0\",\"id\":", l2 = "[1, 2],\"method\":\"ping\"}";
  std::string body = l1 + "\n" + l2;
  EXPECT_EQ(serve(content_length(body.size()) + l1 + "\r\n" + l2 + "\r\n" + ping("3") + "\n"),
            result("[1,2]") + result("3"));
  // One byte short: the closing brace is cut off, so the text is not JSON.
  EXPECT_EQ(serve(content_length(body.size() - 1) + l1 + "\n" + l2 + "\n"),
            error("null", -32700, "parse error"));
  // A count that also covers the LF after the last line completes at that
  // LF; the next line is a message of its own.
  EXPECT_EQ(serve(content_length(body.size() + 1) + l1 + "\n" + l2 + "\n" + ping("3") + "\n"),
            result("[1,2]") + result("3"));
}

TEST(McpFraming, ContentLengthHeaderBlockAndOddValues) {
  // A header block with further headers and a blank line before the body.
  EXPECT_EQ(
      serve(content_length(40) + "Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n\r\n" +
            kPing1 + "\r\n"),
      kPong1);
  // Only "Content-Length:" at the very start, in this case, is a header.
  EXPECT_EQ(serve("content-length: 40\n" + kPing1 + "\n"),
            error("null", -32700, "parse error") + kPong1);
  EXPECT_EQ(serve(" Content-Length: 40\n" + kPing1 + "\n"),
            error("null", -32700, "parse error") + kPong1);
  // A negative count leaves plain framing in force.
  EXPECT_EQ(serve("Content-Length: -5\n" + kPing1 + "\n"), kPong1);
  // A count of 0 (or no digits) is an empty message: no reply, nothing eaten.
  EXPECT_EQ(serve("Content-Length: 0\n" + kPing1 + "\n"), kPong1);
  EXPECT_EQ(serve("Content-Length: abc\n" + kPing1 + "\n"), kPong1);
  // End of input before the count is reached: what arrived is the message.
  EXPECT_EQ(serve(content_length(1000) + kPing1 + "\n"), kPong1);
  EXPECT_EQ(serve(content_length(1000)), "");
}

TEST(McpFraming, OversizeMessageThenNormalOne) {
  std::string exact = ping_of_size(kLimit, "8");
  std::string over = ping_of_size(kLimit + 1, "9");
  EXPECT_EQ(serve(exact + "\n" + over + "\n" + kPing1 + "\n"),
            result("8") + error("null", -32600, "request too large") + kPong1);
  // Trailing blanks are trimmed before the size is judged.
  EXPECT_EQ(serve(exact + " \r \r\r\n"), result("8"));
  EXPECT_EQ(serve(exact), result("8"));
  // The limit applies to counted bodies too, and to a last line without LF.
  EXPECT_EQ(serve(content_length(kLimit) + exact + "\n" + kPing1 + "\n"), result("8") + kPong1);
  EXPECT_EQ(serve(content_length(kLimit + 1) + over + "\n" + kPing1 + "\n"),
            error("null", -32600, "request too large") + kPong1);
  EXPECT_EQ(serve(content_length(kLimit) + over + "\n" + kPing1 + "\n"),
            error("null", -32700, "parse error") + kPong1)
      << "cut to the count, then parsed";
  EXPECT_EQ(serve(over), error("null", -32600, "request too large"));
}

TEST(McpFraming, OversizeMessageKeepsMemoryBounded) {
  child_process c(mcp_args(), mcp_env());
  std::string block(1 << 20, 'x');
  ASSERT_TRUE(c.write("{\"pad\":\""));
  for (int i = 0; i < 128; ++i) ASSERT_TRUE(c.write(block));
  ASSERT_TRUE(c.write("\"}\n" + kPing1 + "\n"));
  EXPECT_EQ(c.read_line(30000), line(error("null", -32600, "request too large")));
  EXPECT_EQ(c.read_line(), line(kPong1));
  long peak = vdtest::peak_memory_kib(c.pid());
  ASSERT_GT(peak, 0);
  // A 128 MiB message stored whole would need at least that much.
  EXPECT_LT(peak, 64L * 1024) << "peak KiB";
  c.close_stdin();
  EXPECT_EQ(c.wait(), 0);
}

TEST(McpFraming, ReaderGoneStillExitsZero) {
  // Nobody reads the replies; far more output than a pipe holds makes every
  // write fail. The server must still serve to the end of its input and exit
  // with status 0.
  std::string in;
  for (int i = 0; i < 20000; ++i) in += kPing1 + "\n";
  auto r = vdtest::run_output_closed(mcp_args(), mcp_env(), in, 60000);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.status, 0) << "141 is SIGPIPE";
}

// ---- Parsing and the JSON-RPC envelope --------------------------------------

TEST(McpRequests, ErrorCodesAndTheirIds) {
  EXPECT_EQ(serve("{\"id\":1,\"method\":\"ping\",}\n"
                  "{\"id\":1,\"method\":\"ping\"} x\n"
                  "{\"id\":1,/*c*/\"method\":\"ping\"}\n"
                  "{\"id\":NaN,\"method\":\"ping\"}\n"
                  "[" +
                  kPing1 +
                  "]\n"
                  "\"ping\"\n"
                  "42\n"
                  "{\"id\":7}\n"
                  "{\"id\":7,\"method\":12}\n"
                  "{\"id\":\"q\",\"method\":\"no/such\"}\n"),
            error("null", -32700, "parse error") + error("null", -32700, "parse error") +
                error("null", -32700, "parse error") + error("null", -32700, "parse error") +
                error("null", -32600, "invalid request: not an object") +
                error("null", -32600, "invalid request: not an object") +
                error("null", -32600, "invalid request: not an object") +
                error("7", -32600, "invalid request: missing method") +
                error("7", -32600, "invalid request: missing method") +
                error("\"q\"", -32601, "method not found"));
  // Without an id, a missing or odd method and an unknown one get no reply.
  EXPECT_EQ(serve("{}\n{\"method\":12}\n{\"method\":null}\n{\"method\":\"no/such\"}\n" + kPing1),
            kPong1);
}

TEST(McpRequests, IdsEchoedCompactly) {
  EXPECT_EQ(serve("{\"id\": { \"a\" : [ 1 , { } ] , \"b\" : null }, \"method\":\"ping\"}\n"
                  "{\"method\":\"ping\",\"id\":[ \"x\" , 2 ]}\n"
                  "{\"id\":\"a\\\"b\",\"method\":\"ping\"}\n"
                  "{\"id\":null,\"method\":\"ping\"}\n"
                  "{\"id\":-12,\"method\":\"ping\"}\n"
                  "{\"id\":true,\"method\":\"ping\"}\n"
                  "{\"id\":\"\",\"method\":\"ping\"}\n"),
            result("{\"a\":[1,{}],\"b\":null}") + result("[\"x\",2]") + result("\"a\\\"b\"") +
                result("null") + result("-12") + result("true") + result("\"\""));
}

TEST(McpRequests, MemberLookupRules) {
  // The first "method" counts; "jsonrpc" is never examined.
  EXPECT_EQ(
      serve("{\"id\":1,\"method\":\"ping\",\"method\":\"no/such\"}\n"
            "{\"id\":2,\"method\":\"no/such\",\"method\":\"ping\"}\n"
            "{\"id\":3,\"id\":4,\"method\":\"ping\"}\n"
            "{\"jsonrpc\":\"1.0\",\"id\":5,\"method\":\"ping\"}\n"
            "{\"id\":6,\"method\":\"ping\"}\n"),
      kPong1 + error("2", -32601, "method not found") + result("3") + result("5") + result("6"));
  // Method names match byte for byte: case, length and embedded NUL count.
  EXPECT_EQ(serve("{\"id\":1,\"method\":\"Ping\"}\n{\"id\":2,\"method\":\"ping \"}\n"
                  "{\"id\":3,\"method\":\"ping\\u0000\"}\n"),
            error("1", -32601, "method not found") + error("2", -32601, "method not found") +
                error("3", -32601, "method not found"));
  // The text is parsed up to its first NUL byte.
  EXPECT_EQ(serve(kPing1 + std::string(1, '\0') + "garbage\n" + std::string(1, '\0') + "\n"),
            kPong1 + error("null", -32700, "parse error"));
}

// ---- The method table -------------------------------------------------------

const std::string kInitResult =
    "{\"protocolVersion\":\"2024-11-05\",\"capabilities\":{\"tools\":{}},"
    "\"serverInfo\":{\"name\":\"vavode_deveruz\",\"version\":\"1.0.1\"}}";

std::string schema_text() {
  auto r = run({program_path(), "--schema"}, mcp_env());
  EXPECT_EQ(r.out.back(), '\n');
  return r.out.substr(0, r.out.size() - 1);
}

TEST(McpMethods, EveryRowWithId) {
  std::string tools = schema_text();
  ASSERT_EQ(tools.rfind("{\"tools\":[{\"name\":\"webhook_list\"", 0), 0u);
  const std::string params = ",\"params\":{\"protocolVersion\":\"2099-01-01\",\"capabilities\":{}}";
  EXPECT_EQ(serve("{\"id\":1,\"method\":\"initialize\"" + params +
                  "}\n"
                  "{\"id\":2,\"method\":\"notifications/initialized\"}\n"
                  "{\"id\":3,\"method\":\"initialized\"}\n"
                  "{\"id\":4,\"method\":\"ping\"}\n"
                  "{\"id\":5,\"method\":\"tools/list\"}\n"
                  "{\"id\":6,\"method\":\"tools/"
                  "call\",\"params\":{\"name\":\"no_such_tool\",\"arguments\":{}}}\n"
                  "{\"id\":7,\"method\":\"prompts/list\"}\n"
                  "{\"id\":8,\"method\":\"resources/list\"}\n"
                  "{\"id\":9,\"method\":\"logging/setLevel\",\"params\":{\"level\":\"debug\"}}\n"
                  "{\"id\":10,\"method\":\"resources/read\"}\n"),
            result("1", kInitResult) + result("4") + result("5", tools) +
                error("6", -32602, "unknown tool") + result("7", "{\"prompts\":[]}") +
                result("8", "{\"resources\":[]}") + result("9") +
                error("10", -32601, "method not found"));
}

TEST(McpMethods, EveryRowWithoutId) {
  std::string tools = schema_text();
  EXPECT_EQ(
      serve("{\"method\":\"initialize\"}\n"
            "{\"method\":\"notifications/initialized\"}\n"
            "{\"method\":\"initialized\"}\n"
            "{\"method\":\"ping\"}\n"
            "{\"method\":\"tools/list\"}\n"
            "{\"method\":\"tools/call\",\"params\":{\"name\":\"no_such_tool\"}}\n"
            "{\"method\":\"prompts/list\"}\n"
            "{\"method\":\"resources/list\"}\n"
            "{\"method\":\"logging/setLevel\"}\n"
            "{\"method\":\"resources/read\"}\n"),
      result("null", kInitResult) + result("null", tools) + error("null", -32602, "unknown tool"));
}

TEST(McpMethods, PipelinedRequestsAnsweredInOrder) {
  std::string in, want;
  std::string tools = schema_text();
  for (int i = 0; i < 500; ++i) {
    bool list = i % 3 == 0;
    in += "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(i) + ",\"method\":\"" +
          (list ? "tools/list" : "ping") + "\"}\n";
    want += result(std::to_string(i), list ? tools : "{}");
  }
  EXPECT_EQ(serve(in), want);
}

}  // namespace
