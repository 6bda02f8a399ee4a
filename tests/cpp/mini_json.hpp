#pragma once
// Just enough JSON for the test data files: objects, arrays, strings and unsigned integers.
#include <cstdint>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace testjson {

struct Value {
  enum Kind { Null, Number, String, Array, Object } kind = Null;
  uint64_t number = 0;
  std::string text;
  std::vector<Value> items;
  std::map<std::string, Value> fields;

  const Value& operator[](const std::string& key) const { return fields.at(key); }
  const Value& operator[](size_t i) const { return items.at(i); }
  std::vector<uint64_t> numbers() const {
    std::vector<uint64_t> out;
    for (const auto& v : items) out.push_back(v.number);
    return out;
  }
};

class Parser {
 public:
  explicit Parser(std::string s) : s_(std::move(s)) {}
  Value parse() {
    skip();
    const char c = s_.at(i_);
    Value v;
    if (c == '{') {
      v.kind = Value::Object;
      ++i_;
      skip();
      if (s_[i_] == '}') { ++i_; return v; }
      for (;;) {
        skip();
        std::string key = parse().text;
        skip();
        expect(':');
        v.fields[key] = parse();
        skip();
        if (s_[i_] == ',') { ++i_; continue; }
        expect('}');
        return v;
      }
    }
    if (c == '[') {
      v.kind = Value::Array;
      ++i_;
      skip();
      if (s_[i_] == ']') { ++i_; return v; }
      for (;;) {
        v.items.push_back(parse());
        skip();
        if (s_[i_] == ',') { ++i_; continue; }
        expect(']');
        return v;
      }
    }
    if (c == '"') {
      v.kind = Value::String;
      ++i_;
      while (s_.at(i_) != '"') {
        if (s_[i_] == '\\') ++i_;
        v.text.push_back(s_[i_++]);
      }
      ++i_;
      return v;
    }
    if (c >= '0' && c <= '9') {
      v.kind = Value::Number;
      while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') v.number = v.number * 10 + uint64_t(s_[i_++] - '0');
      return v;
    }
    throw std::runtime_error("unsupported JSON");
  }

 private:
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) ++i_;
  }
  void expect(char c) {
    if (s_.at(i_) != c) throw std::runtime_error("bad JSON");
    ++i_;
  }
  std::string s_;
  size_t i_ = 0;
};

inline Value load(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::stringstream ss;
  ss << in.rdbuf();
  return Parser(ss.str()).parse();
}

}  // namespace testjson
