#ifndef HOST_ADDR_STRING_H
#define HOST_ADDR_STRING_H

#include <ace/INET_Addr.h>

#include <string>

// The text form of an address: "192.0.2.7" or "fe80::1" (numeric, never a
// host name); with_port adds the port as "192.0.2.7:5432" or
// "[fe80::1]:5432". A value; the text lives as long as the object.
class ACE_Addr_String {
 public:
  ACE_Addr_String(const ACE_INET_Addr& addr, bool with_port);

  const char* c_str() const { return text_.c_str(); }
  const std::string& str() const { return text_; }
  operator const std::string&() const { return text_; }

 private:
  std::string text_;
};

#endif
