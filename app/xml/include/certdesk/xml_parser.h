// The template reader: a small lenient XML parser that keeps the file's bytes as they are
// (Windows-1251 text is never converted) and builds a tree of element nodes.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace certdesk {

// A list that owns its items and destroys them when it is cleared or destroyed.
template <class T>
class TquorXMLNodeList2 {
  public:
    TquorXMLNodeList2() = default;
    TquorXMLNodeList2(const TquorXMLNodeList2&) = delete;
    TquorXMLNodeList2& operator=(const TquorXMLNodeList2&) = delete;

    std::size_t Count() const { return items_.size(); }
    bool Empty() const { return items_.empty(); }
    T* operator[](std::size_t index) const { return items_[index].get(); }

    T* Add(std::unique_ptr<T> item) {
        items_.push_back(std::move(item));
        return items_.back().get();
    }
    void Clear() { items_.clear(); }

    // Hands the items over without destroying them.
    std::vector<std::unique_ptr<T>> TakeAll() { return std::exchange(items_, {}); }

    auto begin() const { return items_.begin(); }
    auto end() const { return items_.end(); }

  private:
    std::vector<std::unique_ptr<T>> items_;
};

class TquorXMLAttribute2 {
  public:
    TquorXMLAttribute2(std::string name, std::string value)
        : Name(std::move(name)), Value(std::move(value)) {}

    std::string Name;
    std::string Value;  // raw: entity references are not decoded
};

class TquorXMLNode2 {
  public:
    explicit TquorXMLNode2(TquorXMLNode2* parent = nullptr) : Parent(parent) {}
    TquorXMLNode2(const TquorXMLNode2&) = delete;
    TquorXMLNode2& operator=(const TquorXMLNode2&) = delete;
    // Tears the subtree down without recursing over its depth.
    virtual ~TquorXMLNode2();

    // Destroys every child and attribute and empties the name and text.
    void Clear();

    std::string Name;  // as written, prefix included
    std::string Text;  // trimmed, raw: entity references are not decoded
    TquorXMLNode2* Parent;
    TquorXMLNodeList2<TquorXMLNode2> Children;
    TquorXMLNodeList2<TquorXMLAttribute2> Attributes;
};

// The parser is itself the node of the document's root element.
class TquorXMLParser2 : public TquorXMLNode2 {
  public:
    // A scan stops after this many tags, keeping what it has built.
    static constexpr int MaxSteps = 512000;

    TquorXMLParser2() = default;

    // Reads the whole file and parses it. An unreadable file throws Error with
    // "Не могу открыть файл %s" and leaves the tree as it was; malformed attributes of the
    // declaration throw Error with their message; any other syntax error ends the parse
    // quietly and keeps the nodes built so far.
    void LoadFromFile(const std::string& fileName);
    // The same over a document already in memory.
    void LoadFromString(std::string source);

    const std::string& Source() const { return source_; }
    // 1-based, where the scan stopped.
    std::size_t Position() const { return position_ + 1; }
    // The attributes of the XML declaration; kept across loads unless set again.
    TquorXMLNode2& Declaration() { return declaration_; }
    const TquorXMLNode2& Declaration() const { return declaration_; }
    int StepCount() const { return stepCount_; }

  private:
    void Parse();
    void ScanTags();
    bool ReadElementText(TquorXMLNode2& node);

    std::string source_;
    std::size_t position_ = 0;
    TquorXMLNode2 declaration_;
    int stepCount_ = 0;
};

// The first child named exactly `name`; when recursive, depth-first with each node tested
// before its own children. nullptr when there is none.
TquorXMLNode2* FindChild(const TquorXMLNode2& node, std::string_view name, bool recursive);

// The decoded text of the direct child `name`, or empty when there is no such child.
std::string ChildText(const TquorXMLNode2& node, std::string_view name);

// Replaces the six entity references in one left-to-right pass; "&#xA;" becomes a space.
std::string DecodeXmlEntities(std::string_view raw);

}  // namespace certdesk
