#pragma once
// The minimal XML document behind filters.xml and badmailreplies.xml.
//
// Documents are trees of named elements, each holding either a text or child
// elements; there are no attributes, comments, entity references or namespaces.
// The byte layout written by TMyXML::SaveToFile and the reading rules of
// TSimploXML are a contract of the stored files: what one writes the other reads.
//
// Strings are 8-bit: bytes are written as held and read as found (no character
// set conversion). Not thread-safe: one document is used by one thread at a time.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bm {

// One element: a name and either a Text or Children (never both when written).
class TElementDocXML {
public:
    std::string Name;
    // For a text that its writer wrapped in "<![CDATA[" ... "]]>", the wrapping is
    // part of Text when writing and is gone after reading.
    std::string Text;
    // Child elements in document order, owned.
    std::vector<std::unique_ptr<TElementDocXML>> Children;
};

// Reader. Owns an internal unnamed root whose first child is the document element.
class TSimploXML {
public:
    TSimploXML();
    virtual ~TSimploXML();
    TSimploXML(const TSimploXML&) = delete;
    TSimploXML& operator=(const TSimploXML&) = delete;

    // Fired (when set) each time a document cannot be read; carries no message.
    std::function<void(TSimploXML& sender)> OnXMLError;

    // Frees the whole tree; DocumentElement() is null afterwards.
    void Clear();
    // Clears the document and creates a document element named `name`; returns it
    // (owned by the document, valid until the next Clear/New/Load).
    TElementDocXML* New(const std::string& name);
    // The document element, or null for an empty document.
    TElementDocXML* DocumentElement() const;

    // Appends a new child named `name` to `element` and returns it (owned by `element`).
    static TElementDocXML* AddChild(TElementDocXML* element, const std::string& name);
    // Every direct child of `element` whose Name equals `name` exactly
    // (case-sensitive), in document order. Null element gives an empty list.
    static std::vector<TElementDocXML*> FindChildren(const TElementDocXML* element,
                                                     const std::string& name);

    // Reads and parses the whole file. Never throws: on a missing, unreadable or
    // malformed file the document is left empty, OnXMLError fires and false is
    // returned. An empty file is malformed.
    bool LoadFromFile(const std::filesystem::path& fileName);
    // Parses `text` with the same rules and failure handling as LoadFromFile.
    //
    // Reading rules, in short: characters outside the reader's character set
    // (codes 32 to 127 and a few Latin-1 letters; see myxml.cpp) are dropped
    // everywhere except inside "<![CDATA[" ... "]]>" (opening matched ignoring
    // letter case); a valid UTF-8 sequence counts as the one character it encodes
    // (kept or dropped whole), any other byte as its Latin-1 character. CDATA
    // content is appended to the pending text unfiltered. White-space-only
    // text between tags and the "<?xml" declaration are ignored. A tag's whole text
    // is the element name, so attributes, self-closing tags and comments make an
    // element that is never closed and the document fails. A later text replaces an
    // earlier one in the same element. Only the document element survives.
    // An unterminated CDATA section takes the rest of the input. Nesting deeper
    // than MaxDepth elements fails the document (bounded memory and no recursion
    // on hostile input).
    bool LoadFromString(const std::string& text);

    static constexpr std::size_t MaxDepth = 1000;

protected:
    TElementDocXML& Root() { return *root_; }
    const TElementDocXML& Root() const { return *root_; }

private:
    void Fail();
    std::unique_ptr<TElementDocXML> root_;
};

// Reader plus writer and lookup helpers.
class TMyXML : public TSimploXML {
public:
    // Writes the document: the line `<?xml version="1.0" encoding="ISO-8859-1"?>`,
    // then each element at one TAB per depth level (document element at level 0):
    // "<Name>" + Text + "</Name>" when Text is not empty, otherwise "<Name>", the
    // children one level deeper, and "</Name>" on its own line. Every line ends in
    // CR LF; Text is never escaped (callers wrap it with CData() where needed).
    // An empty document writes the declaration line only.
    // The file is replaced atomically (temporary in the same folder, fsync, rename;
    // a missing folder is created). Throws EAtomicWriteError (a std::runtime_error
    // naming the file and the system's reason) if it cannot be written; the old
    // file is then left unchanged.
    void SaveToFile(const std::filesystem::path& fileName) const;

    // The document as SaveToFile writes it, as bytes.
    std::string SaveToString() const;

    // The first direct child of `element` named `name` exactly, or null.
    static TElementDocXML* FindChild(const TElementDocXML* element, const std::string& name);
    // Text of the first direct child named `name`, or "" when there is none.
    static std::string ChildText(const TElementDocXML* element, const std::string& name);
    // True when the first direct child named `name` has the Text "Yes" exactly;
    // any other text, or no such child, is false.
    static bool ChildIsYes(const TElementDocXML* element, const std::string& name);

    // Appends a child named `name` holding `text` (as given, unwrapped); returns it.
    static TElementDocXML* AddTextChild(TElementDocXML* element, const std::string& name,
                                        const std::string& text);
    // Appends a child named `name` holding "Yes" or "No"; returns it.
    static TElementDocXML* AddBoolChild(TElementDocXML* element, const std::string& name,
                                        bool value);
    // `text` wrapped so that it reads back unchanged, whatever bytes it holds:
    // "<![CDATA[" + text + "]]>". A "]]>" inside the text is split across two
    // adjacent sections ("]]" ends one, ">" starts the next), which the reader joins.
    static std::string CData(const std::string& text);
};

} // namespace bm
