// certdesk-cli: looks at certificate files and subject templates without the window.
#include <cstdint>
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "certdesk/cert_info.h"
#include "certdesk/codec.h"
#include "certdesk/error.h"
#include "certdesk/subject_fill.h"
#include "certdesk/text_utils.h"
#include "certdesk/xml_parser.h"

namespace certdesk {
namespace {

constexpr int kFailed = 1;
constexpr int kBadUsage = 2;

constexpr std::string_view kHelp =
    "Использование:\n"
    "  certdesk-cli info ФАЙЛ...\n"
    "      Для каждого файла сертификата (X.509 в кодировке DER) по порядку выводит строку\n"
    "      списка сертификатов: номер файла среди аргументов, \". \", строку субъекта,\n"
    "      \", действует с дд.мм.гггг по дд.мм.гггг\", и затем строку \"key: \" с открытым\n"
    "      ключом для сравнения с ключами на jaCarta (шестнадцатеричный, строчные буквы).\n"
    "      Файл, который не удаётся прочитать или который не является сертификатом DER,\n"
    "      называется одной строкой в потоке ошибок; тогда код завершения 1.\n"
    "  certdesk-cli template ФАЙЛ.xml\n"
    "      Выводит, как xml-шаблон заполнит поля окна: строку \"ownerType=\" с типом\n"
    "      владельца (0 - юридическое лицо, 1 - индивидуальный предприниматель), затем по\n"
    "      строке \"<поле>=<значение>\" в том порядке, в каком их заполняет окно. Байты\n"
    "      шаблона читаются как текст Windows-1251. Если файл не удаётся прочитать или\n"
    "      атрибуты xml-декларации ошибочны, сообщение выводится в поток ошибок, код 1;\n"
    "      иная синтаксическая ошибка не мешает: используется то, что удалось разобрать.\n"
    "  certdesk-cli --help\n"
    "      Эта справка.\n"
    "Вывод в UTF-8. Код завершения: 0 - успешно, 1 - ошибка в файлах, 2 - неверные аргументы.\n";

// The program's Windows-1251 text for the terminal.
void PrintLine(std::ostream& stream, std::string_view ansi) {
    stream << Utf8FromAnsi(ansi) << '\n';
}

std::string LowerHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        hex.push_back(digits[value >> 4]);
        hex.push_back(digits[value & 0xF]);
    }
    return hex;
}

int Info(const std::vector<std::string>& files) {
    int status = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::string bytes;
        try {
            bytes = ReadFileToString(AnsiFromUtf8(files[i]));
        } catch (const Error& e) {
            PrintLine(std::cerr, e.Message());
            status = kFailed;
            continue;
        }
        TCertInfo info;
        TVCertMgr::GetCertInfo(bytes, ciSubject | ciNotBefore | ciNotAfter, info);
        if (info.Mask == 0) {
            std::cerr << "Файл " << files[i] << " не является сертификатом X.509 в формате DER\n";
            status = kFailed;
            continue;
        }
        PrintLine(std::cout, CertificateListLine(static_cast<int>(i + 1), info));
        TVCertMgr::FreeCertInfo(info);
        std::cout << "key: " << LowerHex(GetCertMatchKey(bytes)) << '\n';
    }
    return status;
}

int Template(const std::string& file) {
    TquorXMLParser2 parser;
    try {
        parser.LoadFromFile(AnsiFromUtf8(file));
    } catch (const Error& e) {
        PrintLine(std::cerr, e.Message());
        return kFailed;
    }
    std::optional<std::string> businessCategory;
    if (const TquorXMLNode2* altName = FindChild(parser, "subjectAltName", false)) {
        businessCategory = ChildText(*altName, "businessCategory");
    }
    const SubjectFill fill =
        FillFromTemplateSubject(ChildText(parser, "subject"), businessCategory);
    std::cout << "ownerType=" << static_cast<int>(fill.ownerType) << '\n';
    for (const FieldAssignment& assignment : fill.assignments) {
        PrintLine(std::cout, assignment.control + "=" + assignment.value);
    }
    return 0;
}

int Usage(std::string_view problem) {
    std::cerr << problem << "\nСправка: certdesk-cli --help\n";
    return kBadUsage;
}

int Run(const std::vector<std::string>& args) {
    if (args.empty()) {
        return Usage("Не указана команда.");
    }
    const std::string& command = args[0];
    const std::vector<std::string> files(args.begin() + 1, args.end());
    if (command == "--help") {
        std::cout << kHelp;
        return 0;
    }
    if (command == "info") {
        return files.empty() ? Usage("Не указаны файлы сертификатов.") : Info(files);
    }
    if (command == "template") {
        return files.size() == 1 ? Template(files[0]) : Usage("Укажите один файл xml-шаблона.");
    }
    return Usage("Неизвестная команда: " + command);
}

}  // namespace
}  // namespace certdesk

int main(int argc, char** argv) {
    try {
        return certdesk::Run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const certdesk::Error& e) {
        std::cerr << certdesk::Utf8FromAnsi(e.Message()) << '\n';
    } catch (const std::exception& e) {
        std::cerr << "Внутренняя ошибка: " << e.what() << '\n';
    }
    return certdesk::kFailed;
}
