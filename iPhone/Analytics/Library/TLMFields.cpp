#include "TLMFields.h"

std::string TLMFields::contentGroupForIndex(std::size_t index) {
  return "&cg" + std::to_string(index);
}

std::string TLMFields::customDimensionForIndex(std::size_t index) {
  return "&cd" + std::to_string(index);
}

std::string TLMFields::customMetricForIndex(std::size_t index) {
  return "&cm" + std::to_string(index);
}
