#include "certdesk/test_support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <utility>

extern char** environ;

namespace certdesk::test {

namespace fs = std::filesystem;

fs::path binDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

Bytes readBytes(const fs::path& file) {
    return toBytes(readText(file));
}

void writeBytes(const fs::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

void writeText(const fs::path& file, const std::string& text) {
    writeBytes(file, toBytes(text));
}

Bytes toBytes(const std::string& text) {
    return {text.begin(), text.end()};
}

std::string hex(const Bytes& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

Bytes fromHex(const std::string& digits) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "certdesk-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("cannot make a temporary folder");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, const std::optional<std::string>& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

std::string shellQuote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

CommandResult runCommand(const std::vector<std::string>& argv,
                         const std::vector<std::string>& extraEnv) {
    TempDir outputDir;
    const fs::path outputFile = outputDir.path() / "output";

    std::vector<std::string> envStrings;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            replaced = replaced || extra.substr(0, extra.find('=')) == name;
        }
        if (!replaced) {
            envStrings.push_back(text);
        }
    }
    envStrings.insert(envStrings.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> envp;
    for (std::string& entry : envStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (std::string& arg : args) {
        argp.push_back(arg.data());
    }
    argp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int fd = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) {
            _exit(126);
        }
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        close(fd);
        execvpe(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            throw std::runtime_error("waitpid failed");
        }
    }
    CommandResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.output = readText(outputFile);
    return result;
}

namespace {

std::string joined(const std::vector<std::string>& argv) {
    std::string text;
    for (const std::string& arg : argv) {
        text += (text.empty() ? "" : " ") + arg;
    }
    return text;
}

std::string mustRun(const std::vector<std::string>& argv) {
    CommandResult result = runCommand(argv);
    if (result.exitCode != 0) {
        throw std::runtime_error(joined(argv) + " failed (" + std::to_string(result.exitCode) +
                                 "):\n" + result.output);
    }
    return result.output;
}

}  // namespace

SoftTokenStore::SoftTokenStore()
    : storeEnv_("SOFTTOKEN_DIR", dir_.path().string()),
      kdfEnv_("SOFTTOKEN_KDF_ITERATIONS", "1000") {}

std::string SoftTokenStore::util(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{(binDir() / "softtoken-util").string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return mustRun(argv);
}

void SoftTokenStore::initToken(const std::string& label, const std::string& pin, int slot,
                               const std::string& partition) const {
    util({"--partition", partition, "init", "--slot", std::to_string(slot), "--label", label,
          "--so-pin", kDefaultSoPin, "--pin", pin});
}

TestCa::TestCa(int validDays)
    : key_(dir_.path() / "ca.key"), certificate_(dir_.path() / "ca.crt"), validDays_(validDays) {
    mustRun(
        {"certtool", "--generate-privkey", "--key-type", "gost12-256", "--outfile", key_.string()});
    const fs::path templateFile = dir_.path() / "ca.tmpl";
    writeText(templateFile,
              "cn = \"CertDesk test CA\"\n"
              "organization = \"CertDesk tests\"\n"
              "serial = 1\n"
              "expiration_days = 3650\n"
              "ca\n"
              "cert_signing_key\n"
              "crl_signing_key\n");
    mustRun({"certtool", "--generate-self-signed", "--load-privkey", key_.string(), "--template",
             templateFile.string(), "--outfile", certificate_.string()});
}

Bytes TestCa::certificateDer() const {
    const fs::path der = dir_.path() / "ca.der";
    mustRun({"certtool", "--certificate-info", "--infile", certificate_.string(), "--outder",
             "--outfile", der.string()});
    return readBytes(der);
}

Bytes TestCa::issue(const Bytes& request) const {
    return readBytes(issueFile(request, true));
}

std::string TestCa::issuePem(const Bytes& request) const {
    return readText(issueFile(request, false));
}

fs::path TestCa::issueFile(const Bytes& request, bool der) const {
    ++issued_;
    const std::string stem = "issued" + std::to_string(issued_);
    fs::path requestFile = dir_.path() / (stem + ".req");
    const fs::path templateFile = dir_.path() / (stem + ".tmpl");
    const fs::path certificateFile = dir_.path() / (stem + (der ? ".der" : ".pem"));
    writeBytes(requestFile, request);
    writeText(templateFile, "serial = " + std::to_string(100 + issued_) + "\n" +
                                "expiration_days = " + std::to_string(validDays_) + "\n" +
                                "signing_key\n"
                                "encryption_key\n"
                                "honor_crq_extensions\n");
    // certtool's --inder would apply to the CA's own files too, so a DER request is turned into
    // PEM first; certtool writes a description of a request ahead of its PEM.
    if (std::string(request.begin(), request.end()).find("-----BEGIN") == std::string::npos) {
        mustRun({"certtool", "--crq-info", "--inder", "--infile", requestFile.string(), "--outfile",
                 requestFile.string() + ".pem"});
        requestFile += ".pem";
    }
    std::vector<std::string> argv{"certtool",
                                  "--generate-certificate",
                                  "--load-request",
                                  requestFile.string(),
                                  "--load-ca-privkey",
                                  key_.string(),
                                  "--load-ca-certificate",
                                  certificate_.string(),
                                  "--template",
                                  templateFile.string(),
                                  "--outfile",
                                  certificateFile.string()};
    if (der) {
        argv.push_back("--outder");
    }
    mustRun(argv);
    return certificateFile;
}

}  // namespace certdesk::test
