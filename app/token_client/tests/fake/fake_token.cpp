#include "fake_token.h"

namespace tc_fake {
namespace {

std::string Text(const char* text) {
    return text != nullptr ? std::string(text) : std::string();
}

std::string Block(const unsigned char* bytes, CK_ULONG length) {
    return bytes != nullptr ? std::string(reinterpret_cast<const char*>(bytes), length)
                            : std::string();
}

// The buffer stays the script's, so a client that cannot release it leaks nothing.
void HandOut(unsigned char** buffer, CK_ULONG* length) {
    TokenScript& script = Script();
    if (script.giveOutput) {
        *buffer = reinterpret_cast<unsigned char*>(script.output.data());
        *length = script.output.size();
    }
}

}  // namespace

TokenScript& Script() {
    static TokenScript script;
    return script;
}

int GenerateRequest(const char* exportName, const char* pin, const char* label, const char* id,
                    const char* ekuList, SubjectArray subject, CK_ULONG subjectCount,
                    unsigned char** request, CK_ULONG* requestLength) {
    TokenScript& script = Script();
    script.calls.push_back(exportName);
    script.pin = Text(pin);
    script.label = Text(label);
    script.id = Text(id);
    script.ekuList = Text(ekuList);
    script.subject.assign(subject, subject + subjectCount);
    script.subjectRoomEmpty = true;
    for (CK_ULONG index = subjectCount; index < 128; ++index) {
        script.subjectRoomEmpty = script.subjectRoomEmpty && subject[index] == nullptr;
    }
    HandOut(request, requestLength);
    return script.result;
}

int Install(const char* pin, const char* label, const char* id, const unsigned char* certificate,
            CK_ULONG certificateLength) {
    TokenScript& script = Script();
    script.calls.push_back("InstallCertificate");
    script.pin = Text(pin);
    script.label = Text(label);
    script.id = Text(id);
    script.certificate = Block(certificate, certificateLength);
    return script.result;
}

TokenCertificate* ListCertificates(bool pki, CK_ULONG* count) {
    TokenScript& script = Script();
    script.calls.push_back(pki ? "GetTokenCertificatesPKI" : "GetTokenCertificates");
    std::vector<std::string>& certificates = pki ? script.pkiCertificates : script.gostCertificates;
    script.records.clear();
    for (std::string& certificate : certificates) {
        script.records.push_back(
            {certificate.size(), reinterpret_cast<unsigned char*>(certificate.data())});
    }
    *count = script.records.size();
    return script.records.empty() ? nullptr : script.records.data();
}

int ListPublicKeys(unsigned char** keys) {
    TokenScript& script = Script();
    script.calls.push_back("GetTokenPublicKeys");
    *keys = script.publicKeys.empty() ? nullptr
                                      : reinterpret_cast<unsigned char*>(script.publicKeys.data());
    return script.publicKeyCount;
}

int Sign(const char* pin, const unsigned char* certificate, CK_ULONG certificateLength,
         const unsigned char* data, CK_ULONG dataLength, unsigned char** signature,
         CK_ULONG* signatureLength) {
    TokenScript& script = Script();
    script.calls.push_back("GetSign");
    script.pin = Text(pin);
    script.certificate = Block(certificate, certificateLength);
    script.data = Block(data, dataLength);
    HandOut(signature, signatureLength);
    return script.result;
}

void ReleaseBuffer(void* buffer) {
    TokenScript& script = Script();
    script.calls.push_back("FreeBuffMemory");
    script.releasedBuffer = buffer;
}

void ReleaseCertificates(TokenCertificate* records, CK_ULONG count) {
    TokenScript& script = Script();
    script.calls.push_back("FreeTokenCertificates");
    script.releasedRecords = records;
    script.releasedCount = count;
}

}  // namespace tc_fake
