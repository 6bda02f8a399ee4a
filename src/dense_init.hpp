#pragma once
// Choosing the initial dense centers: the method names and the candidate sampling.
#include <cstdint>
#include <string>
#include <string_view>

namespace vantorix {

// Shared by dense k-means and k-means over codes.
enum class InitMethod : uint8_t { FarthestFirst = 0, KMeansPlusPlus = 1, Random = 2 };

// Lenient: ASCII case and '_' versus '-' do not matter.
InitMethod parse_init_method(std::string_view text);

}  // namespace vantorix
