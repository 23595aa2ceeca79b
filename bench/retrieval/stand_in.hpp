// The benchmark's deterministic stand-in for an embedding model: hashed
// word prefixes and character trigrams (feature hashing with signs) in a
// fixed number of dimensions, scaled to length 1. Texts sharing words or
// word stems get close vectors; it knows no synonyms, so it measures the
// fusion machinery, not what a trained model would add.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace stand_in {

inline std::uint64_t fnv1a(std::string_view s, std::uint64_t seed = 1469598103934665603ULL) {
  std::uint64_t h = seed;
  for (unsigned char c : s) {
    h ^= c;
    h *= 1099511628211ULL;
  }
  return h;
}

inline const std::unordered_set<std::string>& stopwords() {
  static const std::unordered_set<std::string> words = {
      "a",    "an",   "and", "are", "as",   "at",    "be",   "by",  "can",  "do",   "each", "for", "from",
      "has",  "have", "how", "i",   "if",   "in",    "is",   "it",  "its",  "may",  "must", "of",  "on",
      "or",   "our",  "so",  "the", "this", "to",    "we",   "what", "when", "where", "which", "who", "with",
      "will", "be",   "that", "all", "any", "every", "long", "often", "many", "should", "does", "document",
      "under"};
  return words;
}

inline std::vector<double> embed(std::string_view text, std::size_t dim) {
  std::vector<double> v(dim, 0.0);
  std::string word;
  auto add = [&](std::string_view feature, double weight) {
    const std::uint64_t h = fnv1a(feature);
    v[h % dim] += (h >> 63) ? weight : -weight;
  };
  auto flush = [&] {
    if (word.empty() || stopwords().count(word)) {
      word.clear();
      return;
    }
    add("w:" + word.substr(0, 5), 1.0);
    const std::string padded = "#" + word + "#";
    for (std::size_t i = 0; i + 3 <= padded.size(); ++i) add("t:" + padded.substr(i, 3), 0.35);
    word.clear();
  };
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u >= 0x80) {
      word += c;
    } else if (u >= 'A' && u <= 'Z') {
      word += static_cast<char>(u - 'A' + 'a');
    } else {
      flush();
    }
  }
  flush();
  double norm = 0;
  for (double x : v) norm += x * x;
  norm = std::sqrt(norm);
  if (norm > 0) {
    for (double& x : v) x /= norm;
  } else {
    v[0] = 1.0;
  }
  return v;
}

}  // namespace stand_in
