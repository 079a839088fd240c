#pragma once

// The numbers the walk's units share: the ends of requests they act on, the
// back-off of a lost connection, and the number no article has.

#include <cstdint>
#include <limits>

// Errors from 10000 on are the socket's: a request that ends with one lost
// its connection.
constexpr std::uint16_t FirstSocketError = 10000;
// The client closes on a line too long to hold; the same request would
// meet that line again.
constexpr std::uint16_t LineTooLong = 10053;

// The server's replies.
constexpr std::uint16_t NoSuchGroup = 411;
constexpr std::uint16_t NoArticles = 420;
constexpr std::uint16_t NoNextArticle = 421;
// "Authentication required" in answer to a request.
constexpr std::uint16_t LogInRequired = 480;
constexpr std::uint16_t UnknownCommand = 500;
constexpr std::uint16_t SyntaxError = 501;

// A lost connection tries again after 1, 2, 4, ... 60 s, ten times.
constexpr int MaxReconnectTries = 10;
constexpr int MaxReconnectSeconds = 60;

constexpr std::int64_t NoArticle = std::numeric_limits<std::int64_t>::min();
