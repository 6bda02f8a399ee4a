#include "dense_init.hpp"

#include "error.hpp"

namespace vantorix {

InitMethod parse_init_method(std::string_view text) {
  std::string word;
  word.reserve(text.size());
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    word.push_back(c == '_' ? '-' : c);
  }
  if (word == "farthest" || word == "farthest-first" || word == "deterministic") return InitMethod::FarthestFirst;
  if (word == "kmeans++" || word == "k-means++" || word == "pq-kmeans++" || word == "pq-kmeans-plus-plus") {
    return InitMethod::KMeansPlusPlus;
  }
  if (word == "random") return InitMethod::Random;
  throw VantorixError::message("unsupported init '" + std::string(text) +
                               "'; expected one of farthest_first, kmeans++, random");
}

}  // namespace vantorix
