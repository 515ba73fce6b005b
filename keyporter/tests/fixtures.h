// A fresh software token with the default PIN and KeyPorter bound by name.
#pragma once

#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kptest {

// A subject as the application hands it over: alternating type and value strings.
class Subject {
  public:
    Subject(std::initializer_list<std::string> strings) : strings_(strings) {
        for (std::string& text : strings_) {
            pointers_.push_back(text.data());
        }
    }
    // The pointers point into the strings held here.
    Subject(const Subject&) = delete;
    Subject& operator=(const Subject&) = delete;
    SubjectArray array() { return pointers_.data(); }
    CK_ULONG count() const { return pointers_.size(); }
    const std::vector<std::string>& strings() const { return strings_; }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

inline Subject sampleSubject() {
    return {"CN",
            "ООО «Ромашка»",
            "2.5.4.4",
            "Иванов",
            "2.5.4.42",
            "Иван Петрович",
            "C",
            "RU",
            "ST",
            "77 г. Москва",
            "L",
            "Москва",
            "O",
            "ООО «Ромашка»",
            "2.5.4.12",
            "Генеральный директор",
            "1.2.643.100.1",
            "1027700132195",
            "1.2.643.3.131.1.1",
            "007701234567"};
}

class TokenTest : public ::testing::Test {
  public:
    TokenTest() { store.initToken(); }

    // A new key pair and its request through GenCertRequests (or GenCertRequestsEKU when
    // ekuList is given); fails the test unless the call succeeds.
    Bytes makeRequest(const std::string& tag, const char* ekuList = nullptr) {
        Subject subject = sampleSubject();
        unsigned char* request = nullptr;
        CK_ULONG length = 0;
        const int code =
            ekuList == nullptr
                ? kp.genCertRequests(kDefaultPin, tag.c_str(), tag.c_str(), subject.array(),
                                     subject.count(), &request, &length)
                : kp.genCertRequestsEKU(kDefaultPin, tag.c_str(), tag.c_str(), ekuList,
                                        subject.array(), subject.count(), &request, &length);
        EXPECT_EQ(code, RES_OK);
        if (code != RES_OK) {
            return {};
        }
        Bytes copy(request, request + length);
        kp.freeBuffMemory(request);
        return copy;
    }

    SoftTokenStore store;
    KeyPorterLibrary kp;
};

}  // namespace kptest
