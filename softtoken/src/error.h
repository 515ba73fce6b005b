// The one exception the token layers throw: it carries the PKCS#11 result to report.
#pragma once

#include <p11-kit/pkcs11.h>

#include <stdexcept>
#include <string>

namespace softtoken {

class Error : public std::runtime_error {
  public:
    explicit Error(CK_RV rv, const std::string& what = {}) : std::runtime_error(what), rv_(rv) {}
    CK_RV rv() const { return rv_; }

  private:
    CK_RV rv_;
};

}  // namespace softtoken
