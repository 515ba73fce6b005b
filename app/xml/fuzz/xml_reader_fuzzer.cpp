// Feeds arbitrary bytes to the template reader and checks the tree it leaves behind.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "certdesk/error.h"
#include "certdesk/xml_parser.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace certdesk;
    TquorXMLParser2 parser;
    try {
        parser.LoadFromString(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const Error&) {
        return 0;
    }
    Check(parser.StepCount() <= TquorXMLParser2::MaxSteps + 1);
    Check(parser.Position() <= parser.Source().size() + 1);

    // Every node is its children's parent, and the every element below the root took a step of its
    // own.
    std::size_t nodes = 0;
    std::vector<const TquorXMLNode2*> pending{&parser};
    while (!pending.empty()) {
        const TquorXMLNode2* node = pending.back();
        pending.pop_back();
        ++nodes;
        for (const auto& child : node->Children) {
            Check(child->Parent == node);
            pending.push_back(child.get());
        }
        const std::string decoded = DecodeXmlEntities(node->Text);
        Check(decoded.size() <= node->Text.size());
    }
    Check(nodes - 1 <= static_cast<std::size_t>(parser.StepCount()));

    const TquorXMLNode2* subject = FindChild(parser, "subject", true);
    ChildText(parser, "subject");
    if (const TquorXMLNode2* alt = FindChild(parser, "subjectAltName", false)) {
        ChildText(*alt, "businessCategory");
    }
    Check(subject == nullptr || subject->Name == "subject");
    return 0;
}
