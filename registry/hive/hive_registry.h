#pragma once
// A Registry over an offline hive file (SYSTEM, SOFTWARE, NTUSER.DAT, ...),
// read through Debian's hivex. Names ignore case, as in the registry. The
// file itself is never written until Commit: the hive is then committed to
// a new file beside it and renamed over it only once that succeeded, so
// that a crash or a full disk never leaves a half-written hive.
//
// Keys are added and removed through hivex (only undo does that). Value
// writes are kept here until Commit, which puts them into the new file's
// cells itself (HiveValueWriter): hivex would rewrite every value of a
// touched key into new cells at the end of the file, never reusing one,
// and drop what it does not know of the others (a tombstone's flag).

#include <cstdint>
#include <optional>
#include <cstdlib>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "registry/hive/hive_error.h"
#include "registry/registry.h"

struct hive_h;

namespace keyscour {

namespace status {
inline constexpr Status kFileCorrupt = 1392;  // ERROR_FILE_CORRUPT: a cell of the hive cannot be read
}

class HiveRegistry final : public Registry {
public:
    // The hive's root key, as a root handle of this registry.
    static constexpr KeyHandle kRoot = 0x7FFF0000u;

    // Writes hivex's image of the hive, with its key changes, to path;
    // returns 0, or -1 with errno set. Called only when keys changed.
    using CommitFunction = std::function<int(hive_h*, const char* path)>;

    // Opens with hivex's own checks, for reading: a write handle is taken
    // only for a key change. readFrom, when given, is what is read in the
    // hive's place (the private copy its logs were replayed into); the
    // commit still goes to the hive. Throws HiveError when hivex refuses.
    HiveRegistry(const std::string& path, bool writable, CommitFunction commit = {}, std::string readFrom = {});
    ~HiveRegistry() override;
    HiveRegistry(const HiveRegistry&) = delete;
    HiveRegistry& operator=(const HiveRegistry&) = delete;

    Status OpenKey(KeyHandle root, const std::wstring& path, KeyHandle& key) override;
    Status EnumKey(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t nameChars) override;
    Status EnumValue(KeyHandle key, std::uint32_t index, wchar_t* name, std::uint32_t& nameChars,
                     std::uint32_t& type, std::uint8_t* data, std::uint32_t& dataBytes) override;
    Status CreateKey(KeyHandle base, const std::wstring& path, KeyHandle& key) override;
    Status SetValue(KeyHandle key, const std::wstring& name, std::uint32_t type, const std::uint8_t* data,
                    std::uint32_t dataBytes) override;
    Status CloseKey(KeyHandle key) override;
    Status QueryValue(KeyHandle key, const std::wstring& name, std::uint32_t& type,
                      std::vector<std::uint8_t>& data) override;
    Status DeleteKey(KeyHandle base, const std::wstring& path) override;
    Status DeleteValue(KeyHandle key, const std::wstring& name) override;
    // Kept until Commit, as value writes are; meanwhile lookups and walks
    // meet the new names.
    Status RenameValue(KeyHandle key, const std::wstring& name, const std::wstring& newName) override;
    Status RenameKey(KeyHandle base, const std::wstring& path, const std::wstring& newName) override;
    // A link is a key node with flag 0x0010; a hive file holds no volatile key.
    Status QueryKeyKind(KeyHandle root, const std::wstring& path, KeyKind& kind) override;
    // The key node's own timestamp.
    Status QueryKeyTime(KeyHandle key, std::uint64_t& fileTime) override;
    // Upper bounds from the value records: a name's length in UTF-8 bytes.
    Status QueryValueLimits(KeyHandle key, std::uint32_t& longestNameChars, std::uint32_t& largestDataBytes) override;
    // Flag 0x0002 of the value's record: deleted in this layer of a
    // differencing hive. Such a value reads as an empty REG_NONE when its
    // record says it holds no data.
    bool IsTombstone(KeyHandle key, std::uint32_t index) override;

    // The least sequence number a commit gives the hive: past every entry
    // of the logs beside it, so that none applies over the commit.
    void SetCommitSequence(std::uint32_t sequence) { commitSequence_ = sequence; }

    // The path as given, and the file it names once links are followed:
    // a commit goes beside that file, so that a link stays a link.
    const std::string& Path() const { return path_; }
    const std::string& File() const { return file_; }
    // The new file of this run's commit, beside the hive: FILE.keyscour-new.
    // and a part no other run picks. Empty until PrepareCommit made it.
    const std::string& NewFilePath() const { return newPath_; }
    // Before anything is written anywhere: checks that a commit can be
    // done and will keep the hive's mode, owner and attributes (the hive
    // open for writing, writable by the caller, not read-only for its
    // owner, not immutable or append-only, nor its folder, one link only,
    // an owner the caller can give back), and makes the new file, with
    // O_EXCL | O_NOFOLLOW so that no planted link is followed. Throws
    // HiveError with the reason.
    void PrepareCommit();
    // Writes every change to the new file (hivex's image when keys changed,
    // through /proc/self/fd so that no name is opened again, else a copy of
    // the hive; then the values into its cells), gives it the hive's mode, owner, group and
    // extended attributes, flushes it, and renames it over the hive; does
    // nothing when nothing changed. stop is asked just before the rename:
    // when it answers true nothing is committed and the new file goes.
    // Returns whether the hive was committed; throws HiveError, the hive
    // untouched.
    bool Commit(const std::function<bool()>& stop = {});

    // Damage met while reading: cells hivex could not read, one line each.
    const std::vector<std::wstring>& Damage() const { return damage_; }

private:
    using Node = std::size_t;  // hivex's hive_node_h
    // A key's sub keys: names in one block, in the hive's order, with an
    // index in folded order for lookups.
    struct Children {
        Node owner = 0;  // whose list the slot holds
        std::vector<Node> nodes;
        std::vector<std::size_t> nameEnds;  // names[nameEnds[i-1] .. nameEnds[i])
        std::wstring names;                 // as stored
        // The index in folded order, made at the first lookup by a name
        // other than the one last enumerated.
        std::wstring folded;
        std::vector<std::uint32_t> byFolded;
        bool indexed = false;
        std::uint32_t lastEnumerated = 0;
        std::wstring_view Name(std::size_t i) const { return std::wstring_view(names).substr(Start(i), End(i) - Start(i)); }
        std::wstring_view Folded(std::size_t i) const {
            return std::wstring_view(folded).substr(Start(i), End(i) - Start(i));
        }
        std::size_t Start(std::size_t i) const { return i == 0 ? 0 : nameEnds[i - 1]; }
        std::size_t End(std::size_t i) const { return nameEnds[i]; }
        // The child named part: the one enumerated last when its name is
        // part as it is, as in a walk; otherwise by the names folded.
        Node Find(std::wstring_view part, std::wstring& foldedPart);
    };
    struct Values {
        Node node = 0;
        std::vector<std::size_t> handles;  // hive_value_h, in the hive's order
    };
    // A key whose values this run changed: its values as they now stand,
    // in order (the hive's, less those removed, then those added).
    struct EditedValue {
        std::size_t original = 0;  // hive_value_h; 0 for a value added
        std::string name8;          // the whole name, UTF-8
        bool changed = false;       // type and data below stand for the hive's
        bool dataChanged = false;   // and are to be written
        bool renamed = false;       // name8 is a new name for the original
        std::uint32_t type = 0;
        std::vector<std::uint8_t> data;
    };
    struct EditedKey {
        std::vector<std::size_t> originals;  // the hive's values when first changed
        std::vector<EditedValue> values;
    };
    // Where a key's sub key list was last found among the slots below:
    // tried before the map, and checked against the slot's owner.
    static constexpr std::uint32_t kNoSlot = UINT32_MAX;
    struct Open {
        Node node = 0;  // 0: a free slot
        bool writable = false;
        std::uint32_t children = kNoSlot;
    };

    Node NodeOf(KeyHandle key);
    // The node at path below from; 0 with status when there is none.
    Node Resolve(Node from, std::wstring_view path, Status& status);
    // One step down: the child of node named part (as given, not folded).
    Node Child(Node node, std::uint32_t& slotHint, std::wstring_view part, Status& status);
    Children* ChildrenOf(Node node, std::uint32_t& slotHint);
    Children* ChildrenOf(Node node) {
        std::uint32_t none = kNoSlot;
        return ChildrenOf(node, none);
    }
    // The whole names of node's values as they now stand, in UTF-8, into
    // valueNames_. kFileCorrupt, said, when one goes on past a NUL: a walk
    // reads such a name to its NUL, which names another value, so such a
    // key is never written, nor read to be.
    Status ReadValueNames(Node node);
    // The place of a value of node by its whole name, ignoring case, among
    // valueNames_; npos with status when there is none.
    std::size_t FindValue(Node node, std::wstring_view name, Status& status);
    // The key's values made editable, from the hive's as they are.
    EditedKey* EditedOf(Node node);
    // A key's values as they now stand, found with one lookup: the list this
    // run edited, or else the hive's; neither when they cannot be read.
    struct ValueView {
        const EditedKey* edited = nullptr;
        const Values* hive = nullptr;
        bool Readable() const { return edited || hive; }
        std::size_t Count() const { return edited ? edited->values.size() : hive->handles.size(); }
        // The value at index: its hivex handle (0 for one only this run
        // holds) and, when this run changed it, the entry in changed.
        std::size_t At(std::size_t index, const EditedValue*& changed) const;
    };
    ValueView ViewOf(Node node);
    // The type and data of a value in the hive; one whose size is 0 reads
    // as empty, whatever its data offset says (Windows writes 0xFFFFFFFF).
    bool ReadHiveValue(std::size_t value, std::uint32_t& type, std::unique_ptr<char, void (*)(void*)>& data,
                       std::size_t& length);
    // A write handle from hivex, opened on the first key change.
    Status WritableHive();
    // What Commit writes besides hivex's key changes: every edited value.
    void WriteEditedValues(bool bumpSequence);
    // The node of a key open for writing, or what refuses the write.
    Status WritableNode(KeyHandle key, Node& node);
    // A key's name put after names: plain (ASCII with no backslash, whole),
    // other, or nothing when it cannot be read.
    enum class NameRead { kUnreadable, kPlain, kOther };
    NameRead AppendNameOf(Node node, std::wstring& names);
    // UTF-8 from hivex put after to, widened; whether it was plain ASCII.
    bool AppendWide(const char* utf8, std::wstring& to);
    // Whether node is the root or a key of the branch.
    bool LeadsBack(Node node) const;
    // Whether path names the branch's key at depth (the root at 0) or one below it.
    bool LiesIn(std::wstring_view path, std::size_t depth) const;
    const Values* ValuesOf(Node node);
    KeyHandle NewHandle(Node node, bool writable);
    void Forget(Node node);  // a change under node: what was cached of it is stale
    void ForgetAll();        // keys gone or the file read afresh: nothing cached holds
    void NoteDamage(const std::wstring& what);

    void DropNewFile();
    // After a commit: the committed file opened for reading in place of
    // the old one, nothing edited. When hivex cannot open it, every handle
    // is refused from then on.
    void Reopen();

    // The 16-bit flags at offset into the cell at a hivex handle, read from
    // the file hivex reads (hivex gives none); nothing when unreadable.
    std::optional<std::uint16_t> SourceFlags(std::size_t cell, std::size_t offset);
    // The vk record's flags.
    std::uint16_t ValueFlags(std::size_t value);
    const std::string& Source() const { return readFrom_.empty() ? file_ : readFrom_; }
    // HiveError when the file holds fewer bytes than its base block says.
    void RefuseIfCutShort() const;

    std::string path_;
    std::string file_;
    std::string readFrom_;
    int sourceFile_ = -1;  // Source(), for the few bytes hivex does not give
    std::optional<std::uint32_t> commitSequence_;
    std::string newPath_;
    int newFile_ = -1;
    hive_h* hive_ = nullptr;
    bool writable_;
    CommitFunction commit_;
    Node root_ = 0;
    bool changed_ = false;
    bool keysChanged_ = false;  // hivex holds key changes: it commits first
    std::set<Node> addedUnder_;  // keys hivex added a sub key to
    // Keys renamed, in the order renamed, and each one's name now.
    std::vector<std::pair<Node, std::wstring>> renamedKeys_;
    std::unordered_map<Node, std::wstring> newKeyNames_;
    bool hivexWritable_ = false;
    std::unordered_map<Node, EditedKey> edited_;
    // Open keys by handle: handle h is slot (h - kFirstHandle) / 4; freed
    // slots are taken again, so that a walk allocates nothing to open keys.
    static constexpr KeyHandle kFirstHandle = 0x100;
    std::vector<Open> handles_;
    std::vector<std::uint32_t> freeSlots_;
    Open* OpenOf(KeyHandle key);
    // The branch last resolved from the root: the walk goes depth first and
    // opens every key twice by its full path, its parent just before, so
    // its opens start from here. The path is kept as it was given, and is
    // compared exactly: the walk gives back the names it was handed.
    struct Step {
        std::size_t end;  // the key at branchPath_[0, end)
        Node node;
        std::uint32_t children;
    };
    std::uint32_t rootChildren_ = kNoSlot;
    std::wstring branchPath_;
    std::vector<Step> branch_;
    void ForgetBranch();
    std::vector<std::string> valueNames_;
    Node valueNamesOf_ = 0;  // the key whose hive values valueNames_ names, or 0
    std::wstring foldedPart_, name_, wide_;  // reused: every open folds a name, every value has one
    // hivex's name length converts the name once more; the length the key's
    // record holds settles most names without that (0: not to be trusted).
    std::size_t nameRecordHeader_ = 0;
    // Sub key lists read lately, in slots used round: a slot's storage is
    // kept for the next list, so reading one allocates next to nothing.
    std::vector<Children> childrenSlots_;
    std::unordered_map<Node, std::uint32_t> childrenSlotOf_;
    std::uint32_t nextChildrenSlot_ = 0;
    Values values_;
    // The data of the last value read, for a retry with more room.
    std::unique_ptr<char, void (*)(void*)> lastData_{nullptr, &std::free};
    std::size_t lastLength_ = 0;
    std::size_t lastValue_ = 0;
    std::uint32_t lastType_ = 0;
    std::vector<std::wstring> damage_;
};

}  // namespace keyscour
