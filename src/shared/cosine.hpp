// shared.cosine: the arithmetic of cosine ranking, shared by the in-memory
// vector engine and the vector index file, so that both score a section
// alike to the last bit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace shared::cosine {

// Scales `v` to length 1; all zero when it has no length or overflows.
void normalise(std::vector<float>& v);

// `query` scaled to length 1 in single precision; empty when it has no
// length or is not finite (such a question finds nothing).
std::vector<float> unit_query(const std::vector<double>& query);

// The dot product of two rows of `n` values.
float dot(const float* a, const float* b, std::size_t n);

// `s` with ASCII letters in upper case (QD-numbers match ignoring case).
std::string upper(std::string_view s);

}  // namespace shared::cosine
