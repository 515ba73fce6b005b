#include "certdesk/xml_parser.h"

#include <array>
#include <unordered_map>

#include "certdesk/error.h"
#include "certdesk/text_utils.h"

namespace certdesk {

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

// Blanks and control characters off both ends, as the template's texts are compared.
std::string_view Trim(std::string_view text) {
    std::size_t first = 0;
    while (first < text.size() && IsBlank(text[first])) {
        ++first;
    }
    std::size_t last = text.size();
    while (last > first && IsBlank(text[last - 1])) {
        --last;
    }
    return text.substr(first, last - first);
}

bool StartsAt(std::string_view text, std::size_t pos, std::string_view prefix) {
    return pos <= text.size() && text.substr(pos).starts_with(prefix);
}

// The first ">" from `pos` that stands outside single and double quotes.
std::size_t FindTagEnd(std::string_view source, std::size_t pos) {
    bool inDouble = false;
    bool inSingle = false;
    for (; pos < source.size(); ++pos) {
        const char c = source[pos];
        if (c == '"' && !inSingle) {
            inDouble = !inDouble;
        } else if (c == '\'' && !inDouble) {
            inSingle = !inSingle;
        } else if (c == '>' && !inDouble && !inSingle) {
            return pos;
        }
    }
    return npos;
}

// Looks attributes up by name; a hash index only once a tag has many of them, so that a tag
// with thousands of attributes still reads in linear time.
class AttributeIndex {
  public:
    explicit AttributeIndex(TquorXMLNode2& node) : node_(node) {}

    void Set(std::string_view name, std::string_view value) {
        if (TquorXMLAttribute2* existing = Find(name)) {
            existing->Value.assign(value);
            return;
        }
        TquorXMLAttribute2* added = node_.Attributes.Add(
            std::make_unique<TquorXMLAttribute2>(std::string(name), std::string(value)));
        if (!index_.empty()) {
            index_.emplace(added->Name, added);
        }
    }

  private:
    static constexpr std::size_t kLinearLimit = 16;

    TquorXMLAttribute2* Find(std::string_view name) {
        if (index_.empty() && node_.Attributes.Count() > kLinearLimit) {
            for (const auto& attribute : node_.Attributes) {
                index_.emplace(attribute->Name, attribute.get());
            }
        }
        if (!index_.empty()) {
            const auto found = index_.find(name);
            return found == index_.end() ? nullptr : found->second;
        }
        for (const auto& attribute : node_.Attributes) {
            if (attribute->Name == name) {
                return attribute.get();
            }
        }
        return nullptr;
    }

    TquorXMLNode2& node_;
    // Keys view the names held by the attributes themselves, which outlive the index.
    std::unordered_map<std::string_view, TquorXMLAttribute2*> index_;
};

void ReadAttributes(std::string_view text, TquorXMLNode2& node) {
    AttributeIndex attributes(node);
    while (!text.empty()) {
        const std::size_t equals = text.find('=');
        if (equals == npos) {
            throw Error("missing = when parsing attributes");
        }
        std::size_t open = equals + 1;
        while (open < text.size() && text[open] == ' ') {
            ++open;
        }
        if (open == text.size() || (text[open] != '"' && text[open] != '\'')) {
            throw Error("missing value delimiter when parsing attributes");
        }
        const char quote = text[open];
        const std::size_t close = text.find(quote, open + 1);
        if (close == npos) {
            throw Error(std::string("Expected closing ") + quote + " when parsing attributes");
        }
        attributes.Set(Trim(text.substr(0, equals)), text.substr(open + 1, close - open - 1));
        text.remove_prefix(close + 1);
    }
}

}  // namespace

TquorXMLNode2::~TquorXMLNode2() {
    Clear();
}

void TquorXMLNode2::Clear() {
    // Each node is destroyed only after its children were moved out, so destruction never
    // nests deeper than one level however deep the tree is.
    std::vector<std::unique_ptr<TquorXMLNode2>> pending = Children.TakeAll();
    while (!pending.empty()) {
        std::unique_ptr<TquorXMLNode2> node = std::move(pending.back());
        pending.pop_back();
        for (auto& child : node->Children.TakeAll()) {
            pending.push_back(std::move(child));
        }
    }
    Attributes.Clear();
    Name.clear();
    Text.clear();
}

void TquorXMLParser2::LoadFromFile(const std::string& fileName) {
    LoadFromString(ReadFileToString(fileName));
}

void TquorXMLParser2::LoadFromString(std::string source) {
    source_ = std::move(source);
    Parse();
}

void TquorXMLParser2::Parse() {
    Clear();
    position_ = 0;
    stepCount_ = 0;
    const std::string_view source = source_;
    const std::size_t first = source.find('<');
    if (first != npos && StartsAt(source, first, "<?xml")) {
        const std::size_t close = source.find("?>", first);
        if (close == npos) {
            return;
        }
        position_ = close + 2;
        const std::size_t start = first + 6;
        const std::string_view text =
            start < close ? Trim(source.substr(start, close - start)) : std::string_view();
        ReadAttributes(text, declaration_);
    }
    ScanTags();
}

// A syntax error ends the scan quietly; the tree built so far stays.
void TquorXMLParser2::ScanTags() {
    const std::string_view source = source_;
    TquorXMLNode2* current = nullptr;
    while (true) {
        if (++stepCount_ > MaxSteps) {
            return;
        }
        position_ = source.find('<', position_);
        if (position_ == npos) {
            position_ = source.size();
            return;
        }
        if (StartsAt(source, position_, "<!--")) {
            const std::size_t close = source.find("-->", position_);
            if (close == npos) {
                return;
            }
            position_ = source.find('<', close + 3);
            if (position_ == npos) {
                position_ = source.size();
                return;
            }
        }
        const std::size_t tagEnd = FindTagEnd(source, position_);
        if (tagEnd == npos) {
            return;
        }
        std::string_view tag = source.substr(position_ + 1, tagEnd - position_ - 1);
        position_ = tagEnd + 1;

        if (tag.starts_with('/')) {
            if (current == nullptr || current->Parent == nullptr) {
                return;
            }
            current = current->Parent;
            continue;
        }
        const bool emptyElement = tag.ends_with('/');
        if (emptyElement) {
            tag = Trim(tag.substr(0, tag.size() - 1));
        }
        const std::size_t space = tag.find(' ');
        const std::string_view name = tag.substr(0, space);
        const std::string_view attributes =
            space == npos ? std::string_view() : Trim(tag.substr(space + 1));

        TquorXMLNode2* node = current == nullptr
                                  ? this
                                  : current->Children.Add(std::make_unique<TquorXMLNode2>(current));
        node->Name.assign(name);
        if (!attributes.empty()) {
            try {
                ReadAttributes(attributes, *node);
            } catch (const Error&) {
                return;
            }
        }
        if (emptyElement) {
            if (current == nullptr) {
                return;
            }
            continue;
        }
        if (!ReadElementText(*node)) {
            return;
        }
        current = node;
    }
}

bool TquorXMLParser2::ReadElementText(TquorXMLNode2& node) {
    const std::string_view source = source_;
    const std::size_t next = source.find('<', position_);
    if (next == npos) {
        return false;
    }
    constexpr std::string_view cdataOpen = "<![CDATA[";
    if (StartsAt(source, next, cdataOpen)) {
        const std::size_t start = next + cdataOpen.size();
        const std::size_t close = source.find("]]>", start);
        if (close == npos) {
            position_ = start;
            return false;
        }
        node.Text.assign(Trim(source.substr(start, close - start)));
        position_ = close + 3;
        return true;
    }
    node.Text.assign(Trim(source.substr(position_, next - position_)));
    position_ = next;
    return true;
}

TquorXMLNode2* FindChild(const TquorXMLNode2& node, std::string_view name, bool recursive) {
    // Depth-first without recursion: the children still to visit, the next one last.
    std::vector<TquorXMLNode2*> pending;
    const auto pushChildren = [&pending](const TquorXMLNode2& parent) {
        for (auto it = parent.Children.end(); it != parent.Children.begin();) {
            --it;
            pending.push_back(it->get());
        }
    };
    if (!recursive) {
        for (const auto& child : node.Children) {
            if (child->Name == name) {
                return child.get();
            }
        }
        return nullptr;
    }
    pushChildren(node);
    while (!pending.empty()) {
        TquorXMLNode2* candidate = pending.back();
        pending.pop_back();
        if (candidate->Name == name) {
            return candidate;
        }
        pushChildren(*candidate);
    }
    return nullptr;
}

std::string ChildText(const TquorXMLNode2& node, std::string_view name) {
    const TquorXMLNode2* child = FindChild(node, name, false);
    return child == nullptr ? std::string() : DecodeXmlEntities(child->Text);
}

std::string DecodeXmlEntities(std::string_view raw) {
    struct Entity {
        std::string_view reference;
        char replacement;
    };
    static constexpr std::array<Entity, 6> entities{{{"&apos;", '\''},
                                                     {"&quot;", '"'},
                                                     {"&#xA;", ' '},
                                                     {"&amp;", '&'},
                                                     {"&lt;", '<'},
                                                     {"&gt;", '>'}}};
    std::string decoded;
    decoded.reserve(raw.size());
    std::size_t pos = 0;
    while (pos < raw.size()) {
        const std::size_t amp = raw.find('&', pos);
        if (amp == npos) {
            decoded.append(raw.substr(pos));
            break;
        }
        decoded.append(raw.substr(pos, amp - pos));
        pos = amp + 1;
        char replacement = '&';
        for (const Entity& entity : entities) {
            if (raw.substr(amp).starts_with(entity.reference)) {
                replacement = entity.replacement;
                pos = amp + entity.reference.size();
                break;
            }
        }
        decoded.push_back(replacement);
    }
    return decoded;
}

}  // namespace certdesk
