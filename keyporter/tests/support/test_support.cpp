#include "test_support.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace kptest {

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
    const std::string text = readText(file);
    return {text.begin(), text.end()};
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
    writeBytes(file, Bytes(text.begin(), text.end()));
}

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "keyporter-test-XXXXXX").string();
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
          "--so-pin", "87654321", "--pin", pin});
}

TestCa::TestCa() : key_(dir_.path() / "ca.key"), certificate_(dir_.path() / "ca.crt") {
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
    ++issued_;
    const std::string stem = "issued" + std::to_string(issued_);
    const fs::path requestFile = dir_.path() / (stem + ".req");
    const fs::path templateFile = dir_.path() / (stem + ".tmpl");
    const fs::path certificateFile = dir_.path() / (stem + ".der");
    writeBytes(requestFile, request);
    writeText(templateFile, "serial = " + std::to_string(100 + issued_) +
                                "\n"
                                "expiration_days = 365\n"
                                "signing_key\n"
                                "encryption_key\n"
                                "honor_crq_extensions\n");
    const bool pem = std::string(request.begin(), request.end()).find("-----BEGIN") == 0;
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
                                  "--outder",
                                  "--outfile",
                                  certificateFile.string()};
    if (!pem) {
        argv.push_back("--inder");
    }
    mustRun(argv);
    return readBytes(certificateFile);
}

namespace {

template <typename Fn>
Fn symbol(void* handle, const char* name) {
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        throw std::runtime_error(std::string("KeyPorter does not export ") + name);
    }
    return reinterpret_cast<Fn>(address);
}

}  // namespace

KeyPorterLibrary::KeyPorterLibrary(const fs::path& file)
    : handle_(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr) {
        throw std::runtime_error(std::string("cannot load KeyPorter: ") + dlerror());
    }
    genCertRequests = symbol<GenCertRequestsFn>(handle_, "GenCertRequests");
    genCertRequestsEKU = symbol<GenCertRequestsEKUFn>(handle_, "GenCertRequestsEKU");
    installCertificate = symbol<InstallCertificateFn>(handle_, "InstallCertificate");
    getTokenCertificates = symbol<GetTokenCertificatesFn>(handle_, "GetTokenCertificates");
    getTokenCertificatesPKI = symbol<GetTokenCertificatesFn>(handle_, "GetTokenCertificatesPKI");
    getTokenPublicKeys = symbol<GetTokenPublicKeysFn>(handle_, "GetTokenPublicKeys");
    freeTokenCertificates = symbol<FreeTokenCertificatesFn>(handle_, "FreeTokenCertificates");
    getSign = symbol<GetSignFn>(handle_, "GetSign");
    getSignEx = symbol<GetSignExFn>(handle_, "GetSignEx");
    freeBuffMemory = symbol<FreeBuffMemoryFn>(handle_, "FreeBuffMemory");
}

KeyPorterLibrary::~KeyPorterLibrary() {
    dlclose(handle_);
}

std::vector<Bytes> KeyPorterLibrary::certificates(bool pki) const {
    CK_ULONG count = 0;
    TokenCertificate* list = (pki ? getTokenCertificatesPKI : getTokenCertificates)(&count);
    std::vector<Bytes> copies;
    for (CK_ULONG i = 0; i < count; ++i) {
        copies.emplace_back(list[i].data, list[i].data + list[i].length);
    }
    freeTokenCertificates(list, count);
    return copies;
}

std::vector<Bytes> KeyPorterLibrary::publicKeys() const {
    unsigned char* keys = nullptr;
    const int count = getTokenPublicKeys(&keys);
    std::vector<Bytes> copies;
    for (int i = 0; i < count; ++i) {
        copies.emplace_back(keys + i * TOKEN_PUBLIC_KEY_SIZE,
                            keys + (i + 1) * TOKEN_PUBLIC_KEY_SIZE);
    }
    return copies;
}

ModuleSession::ModuleSession(const fs::path& module, const std::string& pin, int tokenIndex)
    : library_(dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (library_ == nullptr) {
        throw std::runtime_error(std::string("cannot load the module: ") + dlerror());
    }
    auto getFunctionList =
        reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&functions_) != CKR_OK) {
        dlclose(library_);
        throw std::runtime_error("the module has no function list");
    }
    try {
        check(functions_->C_Initialize(nullptr), "C_Initialize");
        CK_SLOT_ID slots[8];
        CK_ULONG count = 8;
        check(functions_->C_GetSlotList(CK_TRUE, slots, &count), "C_GetSlotList");
        if (tokenIndex < 0 || count <= static_cast<CK_ULONG>(tokenIndex)) {
            throw std::runtime_error("no token at index " + std::to_string(tokenIndex));
        }
        check(functions_->C_OpenSession(slots[tokenIndex], CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                        nullptr, nullptr, &session_),
              "C_OpenSession");
        auto* pinBytes = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(pin.c_str()));
        check(functions_->C_Login(session_, CKU_USER, pinBytes, pin.size()), "C_Login");
    } catch (...) {
        functions_->C_Finalize(nullptr);
        dlclose(library_);
        throw;
    }
}

ModuleSession::~ModuleSession() {
    functions_->C_Logout(session_);
    functions_->C_CloseSession(session_);
    functions_->C_Finalize(nullptr);
    dlclose(library_);
}

void ModuleSession::check(CK_RV rv, const char* what) const {
    if (rv != CKR_OK) {
        std::ostringstream message;
        message << what << " failed: 0x" << std::hex << rv;
        throw std::runtime_error(message.str());
    }
}

void ModuleSession::addCertificate(const Bytes& value, const std::string& label) {
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_CERTIFICATE_TYPE type = CKC_X_509;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[]{
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_CERTIFICATE_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
        {CKA_VALUE, const_cast<unsigned char*>(value.data()), value.size()},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    check(functions_->C_CreateObject(session_, attributes, std::size(attributes), &object),
          "C_CreateObject (certificate)");
}

void ModuleSession::addPublicKey(const Bytes& value, const std::string& label) {
    CK_OBJECT_CLASS objectClass = CKO_PUBLIC_KEY;
    CK_KEY_TYPE type = CKK_GOSTR3410;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[]{
        {CKA_CLASS, &objectClass, sizeof objectClass},
        {CKA_KEY_TYPE, &type, sizeof type},
        {CKA_TOKEN, &yes, sizeof yes},
        {CKA_LABEL, const_cast<char*>(label.data()), label.size()},
        {CKA_VALUE, const_cast<unsigned char*>(value.data()), value.size()},
    };
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    check(functions_->C_CreateObject(session_, attributes, std::size(attributes), &object),
          "C_CreateObject (public key)");
}

std::vector<CK_OBJECT_HANDLE> ModuleSession::find(CK_OBJECT_CLASS objectClass,
                                                  const std::optional<std::string>& label) {
    std::vector<CK_ATTRIBUTE> search{{CKA_CLASS, &objectClass, sizeof objectClass}};
    if (label) {
        search.push_back({CKA_LABEL, const_cast<char*>(label->data()), label->size()});
    }
    check(functions_->C_FindObjectsInit(session_, search.data(), search.size()),
          "C_FindObjectsInit");
    std::vector<CK_OBJECT_HANDLE> found;
    CK_OBJECT_HANDLE batch[64];
    CK_ULONG count = 0;
    do {
        check(functions_->C_FindObjects(session_, batch, std::size(batch), &count),
              "C_FindObjects");
        found.insert(found.end(), batch, batch + count);
    } while (count == std::size(batch));
    check(functions_->C_FindObjectsFinal(session_), "C_FindObjectsFinal");
    return found;
}

Bytes ModuleSession::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    check(functions_->C_GetAttributeValue(session_, object, &query, 1), "C_GetAttributeValue");
    Bytes value(query.ulValueLen);
    query.pValue = value.data();
    check(functions_->C_GetAttributeValue(session_, object, &query, 1), "C_GetAttributeValue");
    return value;
}

void ModuleSession::destroy(CK_OBJECT_HANDLE object) {
    check(functions_->C_DestroyObject(session_, object), "C_DestroyObject");
}

}  // namespace kptest
