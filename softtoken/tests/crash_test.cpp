// Writers killed at random moments and writers side by side leave a store that loads and holds
// exactly the objects of a complete state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "token_fixture.h"

namespace softtoken::test {
namespace {

// The value each writer gives its n-th object: large enough that writes take a while.
Bytes ValueFor(int writer, int n) {
    Bytes value(2000);
    for (std::size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<unsigned char>(writer * 31 + n * 7 + i);
    }
    return value;
}

std::string LabelFor(int writer, int n) {
    return "w" + std::to_string(writer) + "-" + std::to_string(n);
}

// Runs in a child: creates objects from number `first` on, `count` of them (-1: until killed).
[[noreturn]] void Writer(int writer, int first, int count) {
    LoadedModule module(SOFTTOKEN_MODULE_PATH);
    CK_FUNCTION_LIST* p = module.get();
    CK_SESSION_HANDLE s;
    if (p == nullptr || p->C_Initialize(nullptr) != CKR_OK ||
        p->C_OpenSession(0, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr, &s) != CKR_OK) {
        _exit(2);
    }
    for (int n = first; count < 0 || n < first + count; ++n) {
        CK_OBJECT_CLASS c = CKO_DATA;
        CK_BBOOL yes = CK_TRUE;
        std::string label = LabelFor(writer, n);
        Bytes value = ValueFor(writer, n);
        CK_ATTRIBUTE t[] = {{CKA_CLASS, &c, sizeof c},
                            {CKA_TOKEN, &yes, 1},
                            {CKA_LABEL, label.data(), label.size()},
                            {CKA_VALUE, value.data(), value.size()}};
        CK_OBJECT_HANDLE object;
        if (p->C_CreateObject(s, t, 4, &object) != CKR_OK) {
            _exit(3);
        }
    }
    _exit(0);
}

class CrashTest : public TokenTest {
  protected:
    // The store must hold, for each writer, objects 0..n-1 with their exact values.
    std::map<int, int> CheckStore() {
        EXPECT_EQ(gost->C_Initialize(nullptr), CKR_OK);
        CK_SESSION_HANDLE s = Open();
        std::map<int, int> next;
        for (CK_OBJECT_HANDLE object : Find(s, {})) {
            Bytes label = Attribute(s, object, CKA_LABEL);
            std::string text(label.begin(), label.end());
            int writer = 0, n = 0;
            EXPECT_EQ(std::sscanf(text.c_str(), "w%d-%d", &writer, &n), 2) << text;
            EXPECT_EQ(n, next[writer]) << "objects of writer " << writer << " out of order";
            EXPECT_EQ(Attribute(s, object, CKA_VALUE), ValueFor(writer, n)) << text;
            next[writer] = n + 1;
        }
        EXPECT_EQ(gost->C_Finalize(nullptr), CKR_OK);
        return next;
    }
};

TEST_F(CrashTest, WritersKilledAtRandomLeaveACompleteState) {
    InitToken();
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    std::mt19937 random(std::random_device{}());
    std::map<int, int> next;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(12);
    int rounds = 0;
    while (rounds < 40 && std::chrono::steady_clock::now() < deadline) {
        std::vector<pid_t> children;
        for (int writer = 0; writer < 2; ++writer) {
            pid_t pid = fork();
            ASSERT_GE(pid, 0);
            if (pid == 0) {
                Writer(writer, next[writer], -1);
            }
            children.push_back(pid);
        }
        std::this_thread::sleep_for(
            std::chrono::microseconds(std::uniform_int_distribution<int>(1000, 60000)(random)));
        for (pid_t pid : children) {
            kill(pid, SIGKILL);
        }
        for (pid_t pid : children) {
            int status = 0;
            waitpid(pid, &status, 0);
            EXPECT_TRUE(WIFSIGNALED(status)) << "a writer stopped on its own: " << status;
        }
        std::map<int, int> now = CheckStore();
        for (int writer = 0; writer < 2; ++writer) {
            EXPECT_GE(now[writer], next[writer]) << "lost objects of writer " << writer;
        }
        next = now;
        ++rounds;
    }
    EXPECT_GE(rounds, 5);
    EXPECT_GT(next[0] + next[1], 0) << "the writers never wrote";
}

TEST_F(CrashTest, WritersSideBySideLoseNothing) {
    InitToken();
    ASSERT_EQ(gost->C_Finalize(nullptr), CKR_OK);
    constexpr int kWriters = 3, kEach = 15;
    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Writer(writer, 0, kEach);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    std::map<int, int> counts = CheckStore();
    for (int writer = 0; writer < kWriters; ++writer) {
        EXPECT_EQ(counts[writer], kEach) << writer;
    }
}

}  // namespace
}  // namespace softtoken::test
