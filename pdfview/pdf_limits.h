// Every limit the reader enforces, in one place. A file that goes past one is
// treated as damaged (or too large to show), never read without bound.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skan::pdfview::limits {

// Arrays and dictionaries inside arrays and dictionaries: deeper nesting is
// no real document's and would exhaust the stack.
inline constexpr int kMaxNesting = 64;
// One object outside a stream (a page's Kids array of thousands of pages
// stays far below this).
inline constexpr size_t kMaxObjectBytes = 16u << 20;
// One string or name literal.
inline constexpr size_t kMaxStringBytes = 8u << 20;
// Where "startxref" is searched: the end of a file may carry some garbage.
inline constexpr size_t kTailBytes = 4096;
// Cross-reference sections chained by /Prev (incremental updates).
inline constexpr int kMaxXrefSections = 4096;
// Object numbers: the cross-reference is held in memory, 16 bytes an entry.
inline constexpr uint32_t kMaxObjects = 8u << 20;
// Pages in one document, and the depth of the page tree.
inline constexpr size_t kMaxPages = 1u << 20;
inline constexpr int kMaxPageTreeDepth = 64;
// A decoded stream (image samples, content, object stream). The viewer runs
// as a 32-bit process: 256 MB is already a large share of its address space.
inline constexpr size_t kMaxDecodedBytes = 256u << 20;
// Pixels of one image: 50 megapixels is an A4 page at 600 dpi with room to spare.
inline constexpr uint64_t kMaxImagePixels = 50'000'000;
// Pixels of one drawn page.
inline constexpr uint64_t kMaxPagePixels = 40'000'000;
// Operators in one content stream, and nested form XObjects.
inline constexpr size_t kMaxOperators = 10'000'000;
inline constexpr int kMaxFormDepth = 12;
inline constexpr int kMaxGraphicsStates = 256;
// References followed to reach one object (a chain of indirect lengths etc.).
inline constexpr int kMaxResolveDepth = 32;
// Parsed objects kept between reads.
inline constexpr size_t kObjectCacheEntries = 4096;

}  // namespace skan::pdfview::limits
