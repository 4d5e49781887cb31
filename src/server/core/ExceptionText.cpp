#include "ExceptionText.h"

#include <memory>
#include <string_view>
#include <typeinfo>

#if __has_include(<cxxabi.h>)
#include <cxxabi.h>
#define ZORVA_HAS_CXXABI 1
#endif

namespace zorva {

namespace {

std::string ClassName(const std::exception& error) {
  std::string name = typeid(error).name();
#ifdef ZORVA_HAS_CXXABI
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> readable(
      abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), std::free);
  if (status == 0 && readable) name = readable.get();
#endif
  // Our own classes read as the operator knows them: "EConvertError", not "zorva::EConvertError".
  constexpr std::string_view ownNamespace = "zorva::";
  if (name.starts_with(ownNamespace)) name.erase(0, ownNamespace.size());
  return name;
}

}  // namespace

std::string DescribeException(const std::exception& error) {
  return "[" + ClassName(error) + "] " + error.what();
}

}  // namespace zorva
