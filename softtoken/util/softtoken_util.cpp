// softtoken-util: sets up and inspects the software token's store through the module's own
// token layers, so the store is only ever written in its one format.
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "attributes.h"
#include "error.h"
#include "gost_crypto.h"
#include "module.h"

namespace {

using softtoken::Bytes;
using softtoken::Error;
using softtoken::Module;

const char* kUsage = R"(Usage: softtoken-util [--partition gost|pki] COMMAND [OPTIONS]

Manages the software token's store ($SOFTTOKEN_DIR/<partition>, or
${XDG_DATA_HOME:-~/.local/share}/softtoken/<partition>). --partition defaults to gost.

Commands:
  init [--slot N] [--label L] [--so-pin P] [--pin P] [--keep-existing]
      Initialises the token in slot N (default 0): label L (default "CertDesk"),
      SO PIN P (default 87654321), user PIN P (default 5829301746). Every object on
      the token is removed. With --keep-existing a token that is already initialised
      is left as it is.
  slots
      Lists the slots and the state of their tokens.
  add-slot
      Adds a slot holding a new, uninitialised token.
  remove-token [--slot N]
      Takes the token out of slot N (default 0); it keeps its objects and PINs.
  insert-token [--slot N]
      Puts the token of slot N (default 0) back.
  list [--slot N] [--pin P]
      Lists the objects of the token: handle, class, label, CKA_ID in hex, value length,
      and for certificates the subject and validity. With the user PIN P, private objects too.
  import-cert FILE [--slot N] [--label L] [--id ID] [--pin P]
      Writes the certificate in FILE (DER or PEM) as a token object with CKA_CLASS,
      CKA_TOKEN, CKA_LABEL (default: the file name without extension), CKA_ID (default:
      the label) and CKA_VALUE, logged in with the user PIN P (default 5829301746).
  delete (--handle H | --label L [--class certificate|public-key|private-key|data])
         [--slot N] [--pin P]
      Removes the object with handle H, or every object with label L (of that class),
      logged in with the user PIN P (default 5829301746).

Exit status: 0 on success, 1 on any failure.
)";

const std::map<CK_RV, const char*> kResultNames = {
    {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
    {CKR_ATTRIBUTE_VALUE_INVALID, "CKR_ATTRIBUTE_VALUE_INVALID"},
    {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
    {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
    {CKR_OBJECT_HANDLE_INVALID, "CKR_OBJECT_HANDLE_INVALID"},
    {CKR_PIN_INCORRECT, "CKR_PIN_INCORRECT"},
    {CKR_PIN_LEN_RANGE, "CKR_PIN_LEN_RANGE"},
    {CKR_PIN_LOCKED, "CKR_PIN_LOCKED"},
    {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
    {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
    {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
    {CKR_USER_PIN_NOT_INITIALIZED, "CKR_USER_PIN_NOT_INITIALIZED"},
};

struct Options {
    std::string partition = "gost";
    std::string command;
    std::vector<std::string> arguments;
    std::map<std::string, std::string> values;
    bool keepExisting = false;

    std::string Get(const std::string& name, const std::string& fallback) const {
        auto it = values.find(name);
        return it == values.end() ? fallback : it->second;
    }
    bool Has(const std::string& name) const { return values.count(name) != 0; }
};

class UsageError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

Options ParseArguments(int argc, char** argv) {
    static const std::vector<std::string> valued = {"--partition", "--slot", "--label",  "--so-pin",
                                                    "--pin",       "--id",   "--handle", "--class"};
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--keep-existing") {
            options.keepExisting = true;
        } else if (std::find(valued.begin(), valued.end(), arg) != valued.end()) {
            if (i + 1 >= argc) {
                throw UsageError(arg + " needs a value");
            }
            options.values[arg.substr(2)] = argv[++i];
        } else if (arg.rfind("--", 0) == 0) {
            throw UsageError("unknown option " + arg);
        } else if (options.command.empty()) {
            options.command = arg;
        } else {
            options.arguments.push_back(arg);
        }
    }
    options.partition = options.Get("partition", "gost");
    if (options.partition != "gost" && options.partition != "pki") {
        throw UsageError("the partition is gost or pki, not " + options.partition);
    }
    return options;
}

CK_SLOT_ID SlotOption(const Options& options) {
    std::string text = options.Get("slot", "0");
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 9) {
        throw UsageError("the slot is a number, not \"" + text + "\"");
    }
    return std::stoul(text);
}

CK_UTF8CHAR_PTR Text(const std::string& text) {
    return reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(text.data()));
}

std::string Hex(const Bytes& bytes) {
    std::string out;
    char digits[3];
    for (unsigned char b : bytes) {
        std::snprintf(digits, sizeof digits, "%02X", b);
        out += digits;
    }
    return out;
}

std::string Date(long long seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &tm);
    return text;
}

// A session on one slot, closed on every path; the module is finalised by its owner.
class Session {
  public:
    Session(Module& module, CK_SLOT_ID slot) : module_(module) {
        module_.OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, &handle_);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session() {
        try {
            module_.CloseSession(handle_);
        } catch (const Error&) {
            // Closing cannot fail in a way the command could still act on.
        }
    }
    CK_SESSION_HANDLE handle() const { return handle_; }
    void Login(CK_USER_TYPE user, const std::string& pin) {
        module_.Login(handle_, user, Text(pin), pin.size());
    }

    std::vector<CK_OBJECT_HANDLE> Find(std::vector<CK_ATTRIBUTE> search) {
        module_.FindObjectsInit(handle_, search.data(), search.size());
        std::vector<CK_OBJECT_HANDLE> found;
        CK_OBJECT_HANDLE batch[64];
        CK_ULONG count = 0;
        do {
            module_.FindObjects(handle_, batch, 64, &count);
            found.insert(found.end(), batch, batch + count);
        } while (count > 0);
        module_.FindObjectsFinal(handle_);
        return found;
    }

    std::optional<Bytes> Attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
        CK_ATTRIBUTE a{type, nullptr, 0};
        if (module_.GetAttributeValue(handle_, object, &a, 1) != CKR_OK) {
            return std::nullopt;
        }
        Bytes value(a.ulValueLen);
        a.pValue = value.data();
        if (module_.GetAttributeValue(handle_, object, &a, 1) != CKR_OK) {
            return std::nullopt;
        }
        return value;
    }

  private:
    Module& module_;
    CK_SESSION_HANDLE handle_ = 0;
};

// The module initialised for one command and finalised after it.
class Initialized {
  public:
    explicit Initialized(Module& module) : module_(module) { module_.Initialize(nullptr); }
    Initialized(const Initialized&) = delete;
    Initialized& operator=(const Initialized&) = delete;
    ~Initialized() {
        try {
            module_.Finalize(nullptr);
        } catch (const Error&) {
            // Nothing is left to release.
        }
    }

  private:
    Module& module_;
};

bool TokenInitialized(Module& module, CK_SLOT_ID slot) {
    CK_TOKEN_INFO info;
    module.GetTokenInfo(slot, &info);
    return (info.flags & CKF_TOKEN_INITIALIZED) != 0;
}

int Init(Module& module, const Options& options) {
    CK_SLOT_ID slot = SlotOption(options);
    if (options.keepExisting && TokenInitialized(module, slot)) {
        std::cout << options.partition << " slot " << slot << ": token already initialised\n";
        return 0;
    }
    std::string label = options.Get("label", "CertDesk");
    if (label.size() > 32) {
        throw UsageError("the label has at most 32 bytes");
    }
    std::string so = options.Get("so-pin", "87654321");
    std::string user = options.Get("pin", "5829301746");
    std::string padded = label + std::string(32 - label.size(), ' ');
    module.InitToken(slot, Text(so), so.size(), Text(padded));
    Session session(module, slot);
    session.Login(CKU_SO, so);
    module.InitPIN(session.handle(), Text(user), user.size());
    module.Logout(session.handle());
    std::cout << options.partition << " slot " << slot << ": token \"" << label
              << "\" initialised\n";
    return 0;
}

int Slots(Module& module, const Options& options) {
    CK_ULONG count = 0;
    module.GetSlotList(CK_FALSE, nullptr, &count);
    std::vector<CK_SLOT_ID> slots(count);
    module.GetSlotList(CK_FALSE, slots.data(), &count);
    for (CK_SLOT_ID slot : slots) {
        CK_SLOT_INFO slotInfo;
        module.GetSlotInfo(slot, &slotInfo);
        std::cout << options.partition << " slot " << slot << ": ";
        if (!(slotInfo.flags & CKF_TOKEN_PRESENT)) {
            std::cout << "no token\n";
            continue;
        }
        CK_TOKEN_INFO info;
        module.GetTokenInfo(slot, &info);
        if (!(info.flags & CKF_TOKEN_INITIALIZED)) {
            std::cout << "token not initialised\n";
            continue;
        }
        std::string label(reinterpret_cast<const char*>(info.label), sizeof info.label);
        label.erase(label.find_last_not_of(' ') + 1);
        std::cout << "token \"" << label << "\"";
        if (!(info.flags & CKF_USER_PIN_INITIALIZED)) {
            std::cout << ", user PIN not set";
        } else if (info.flags & CKF_USER_PIN_LOCKED) {
            std::cout << ", user PIN locked";
        } else if (info.flags & CKF_USER_PIN_FINAL_TRY) {
            std::cout << ", one user PIN try left";
        } else if (info.flags & CKF_USER_PIN_COUNT_LOW) {
            std::cout << ", wrong user PINs entered";
        }
        std::cout << "\n";
    }
    return 0;
}

const std::map<CK_OBJECT_CLASS, std::string> kClassNames = {
    {CKO_DATA, "data"},
    {CKO_CERTIFICATE, "certificate"},
    {CKO_PUBLIC_KEY, "public-key"},
    {CKO_PRIVATE_KEY, "private-key"},
};

std::string Quoted(const Bytes& bytes) {
    return "\"" + std::string(bytes.begin(), bytes.end()) + "\"";
}

int List(Module& module, const Options& options) {
    Session session(module, SlotOption(options));
    if (options.Has("pin")) {
        session.Login(CKU_USER, options.Get("pin", ""));
    }
    for (CK_OBJECT_HANDLE object : session.Find({})) {
        Bytes classValue = session.Attribute(object, CKA_CLASS).value_or(Bytes{});
        std::optional<CK_ULONG> objectClass =
            softtoken::UlongOf({{CKA_CLASS, classValue}}, CKA_CLASS);
        auto name = objectClass ? kClassNames.find(*objectClass) : kClassNames.end();
        std::cout << "handle " << object << ": "
                  << (name == kClassNames.end() ? "other" : name->second) << " label "
                  << Quoted(session.Attribute(object, CKA_LABEL).value_or(Bytes{})) << " id "
                  << Hex(session.Attribute(object, CKA_ID).value_or(Bytes{}));
        if (std::optional<Bytes> value = session.Attribute(object, CKA_VALUE)) {
            std::cout << " value " << value->size() << " bytes";
            if (objectClass == CKO_CERTIFICATE) {
                if (auto fields = softtoken::crypto::DecodeCertificate(*value)) {
                    std::cout << "\n    subject " << fields->subjectText << "\n    valid "
                              << Date(fields->notBefore) << " to " << Date(fields->notAfter);
                } else {
                    std::cout << "\n    not a certificate that decodes";
                }
            }
        } else {
            std::cout << " value not readable";
        }
        std::cout << "\n";
    }
    return 0;
}

std::optional<Bytes> FromBase64(const std::string& text) {
    Bytes out;
    unsigned buffer = 0;
    int bits = 0;
    for (char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else if (c == '=' || c == '\n' || c == '\r' || c == ' ' || c == '\t')
            continue;
        else
            return std::nullopt;
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<unsigned char>((buffer >> bits) & 0xFF));
        }
    }
    return out;
}

// DER as it is; PEM's first certificate block decoded.
Bytes ReadCertificateFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw UsageError("cannot read " + path);
    }
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string begin = "-----BEGIN CERTIFICATE-----";
    const std::string end = "-----END CERTIFICATE-----";
    std::size_t start = content.find(begin);
    if (start == std::string::npos) {
        return Bytes(content.begin(), content.end());
    }
    start += begin.size();
    std::size_t stop = content.find(end, start);
    std::optional<Bytes> der =
        stop == std::string::npos ? std::nullopt : FromBase64(content.substr(start, stop - start));
    if (!der) {
        throw UsageError(path + " holds a damaged PEM certificate");
    }
    return *der;
}

int ImportCert(Module& module, const Options& options) {
    if (options.arguments.size() != 1) {
        throw UsageError("import-cert takes one certificate file");
    }
    const std::string& path = options.arguments[0];
    Bytes der = ReadCertificateFile(path);
    std::string stem = path.substr(path.find_last_of('/') + 1);
    stem = stem.substr(0, stem.find_last_of('.'));
    std::string label = options.Get("label", stem);
    std::string id = options.Get("id", label);
    Session session(module, SlotOption(options));
    session.Login(CKU_USER, options.Get("pin", "5829301746"));
    CK_OBJECT_CLASS objectClass = CKO_CERTIFICATE;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE attributes[] = {
        {CKA_CLASS, &objectClass, sizeof objectClass}, {CKA_TOKEN, &yes, 1},
        {CKA_LABEL, label.data(), label.size()},       {CKA_ID, id.data(), id.size()},
        {CKA_VALUE, der.data(), der.size()},
    };
    CK_OBJECT_HANDLE object = 0;
    module.CreateObject(session.handle(), attributes, std::size(attributes), &object);
    std::cout << "handle " << object << ": certificate label \"" << label << "\" written\n";
    return 0;
}

int Delete(Module& module, const Options& options) {
    Session session(module, SlotOption(options));
    session.Login(CKU_USER, options.Get("pin", "5829301746"));
    std::vector<CK_OBJECT_HANDLE> targets;
    if (options.Has("handle")) {
        std::string text = options.Get("handle", "");
        if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
            text.size() > 18) {
            throw UsageError("the handle is a number, not \"" + text + "\"");
        }
        targets.push_back(std::stoull(text));
    } else if (options.Has("label")) {
        std::string label = options.Get("label", "");
        std::vector<CK_ATTRIBUTE> search = {{CKA_LABEL, label.data(), label.size()}};
        CK_OBJECT_CLASS objectClass = 0;
        if (options.Has("class")) {
            auto it = std::find_if(kClassNames.begin(), kClassNames.end(), [&](const auto& entry) {
                return entry.second == options.Get("class", "");
            });
            if (it == kClassNames.end()) {
                throw UsageError("unknown class " + options.Get("class", ""));
            }
            objectClass = it->first;
            search.push_back({CKA_CLASS, &objectClass, sizeof objectClass});
        }
        targets = session.Find(search);
        if (targets.empty()) {
            throw UsageError("no object has the label \"" + label + "\"");
        }
    } else {
        throw UsageError("delete needs --handle or --label");
    }
    for (CK_OBJECT_HANDLE object : targets) {
        module.DestroyObject(session.handle(), object);
        std::cout << "handle " << object << ": deleted\n";
    }
    return 0;
}

int Run(const Options& options) {
    Module module(options.partition);
    Initialized initialized(module);
    if (options.command == "init")
        return Init(module, options);
    if (options.command == "slots")
        return Slots(module, options);
    if (options.command == "add-slot") {
        std::cout << options.partition << " slot " << module.AddSlot() << ": added\n";
        return 0;
    }
    if (options.command == "remove-token" || options.command == "insert-token") {
        CK_SLOT_ID slot = SlotOption(options);
        module.SetTokenPresent(slot, options.command == "insert-token");
        std::cout << options.partition << " slot " << slot << ": token "
                  << (options.command == "insert-token" ? "inserted" : "removed") << "\n";
        return 0;
    }
    if (options.command == "list")
        return List(module, options);
    if (options.command == "import-cert")
        return ImportCert(module, options);
    if (options.command == "delete")
        return Delete(module, options);
    throw UsageError("unknown command \"" + options.command + "\"");
}

}  // namespace

int main(int argc, char** argv) {
    try {
        for (int i = 1; i < argc; ++i) {
            if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
                std::cout << kUsage;
                return 0;
            }
        }
        Options options = ParseArguments(argc, argv);
        if (options.command.empty()) {
            throw UsageError("no command given");
        }
        return Run(options);
    } catch (const UsageError& e) {
        std::cerr << "softtoken-util: " << e.what() << "\n(see softtoken-util --help)\n";
    } catch (const Error& e) {
        auto name = kResultNames.find(e.rv());
        char code[32];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(e.rv()));
        std::cerr << "softtoken-util: failed with "
                  << (name == kResultNames.end() ? code : name->second);
        if (*e.what() != '\0') {
            std::cerr << ": " << e.what();
        }
        std::cerr << "\n";
    } catch (const softtoken::crypto::CryptoError& e) {
        std::cerr << "softtoken-util: " << e.what() << "\n";
    } catch (const std::exception& e) {
        std::cerr << "softtoken-util: " << e.what() << "\n";
    }
    return 1;
}
