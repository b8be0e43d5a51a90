// A stand-in for the vendor's CoreFoundation module: the string reference of
// a service name is the address of a copy of its text.

#include <string>

extern "C" __declspec(dllexport) const void* __CFStringMakeConstantString(const char* text) {
  static std::string kept;
  kept = text;
  return kept.c_str();
}
