#pragma once
// TZipBuilder: the zip component. It lists, comments and checks archives
// itself and drives the two zip libraries (libzipdll.so, libunzdll.so),
// loaded at run time, for adding, extracting and deleting members.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

struct ZCallBackStruct;
struct ZipDllParams;
struct ZipDllParamsOld;
struct UnzDllParams;
struct UnzDllParamsOld;
struct ParamStore;
struct ZipStreamSource;
struct UnzStreamTarget;

// A set over an enumeration, tested by element position as the libraries'
// flag mapping expects.
template <typename E> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> l)
    {
        for (E e : l)
            bits_ |= bit(e);
    }
    constexpr bool has(E e) const { return (bits_ & bit(e)) != 0; }
    constexpr TSet &insert(E e) { bits_ |= bit(e); return *this; }
    constexpr TSet &erase(E e) { bits_ &= ~bit(e); return *this; }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr uint32_t bits() const { return bits_; }
    constexpr bool operator==(const TSet &) const = default;

private:
    static constexpr uint32_t bit(E e) { return 1u << static_cast<unsigned>(e); }
    uint32_t bits_ = 0;
};

enum AddOptsEnum {
    AddDirNames, AddRecurseDirs, AddMove, AddFreshen, AddUpdate, AddZipTime, AddForceDOS,
    AddHiddenFiles, AddArchiveOnly, AddResetArchive, AddEncrypt, AddSeparateDirs, AddVolume,
    AddDiskSpan, AddDiskSpanErase
};
enum ExtrOptsEnum { ExtrDirNames, ExtrOverWrite, ExtrFreshen, ExtrUpdate, ExtrTest };
enum SFXOptsEnum { SFXAskCmdLine, SFXAskFiles, SFXAutoRun, SFXHideOverWriteBox, SFXCheckSize, SFXNoSuccessMsg };
enum OvrOpts { OvrConfirm, OvrAlways, OvrNever };
enum CPOpts { cpAUTO, cpNone, cpOEM };
enum DeleteOpts { htdFinal, htdAllowUndo };
enum AddStoreSuffix { assGIF, assPNG, assZ, assZIP, assZOO, assARC, assLZH, assARJ, assTAZ, assTGZ, assLHA, assEXE };
enum ProgressType { ptFileStart = 0, ptBytesDone = 1, ptBatchEnd = 2, ptFileCount = 3, ptTotalBytes = 4 };
enum CodePageDirection { cpdOemToAnsi = 0, cpdAnsiToOem = 1 };

using AddOpts = TSet<AddOptsEnum>;
using ExtrOpts = TSet<ExtrOptsEnum>;
using SFXOpts = TSet<SFXOptsEnum>;
using AddStoreExts = TSet<AddStoreSuffix>;

// Skip, disk status and disk action codes come from the libraries and the
// volume code; their values are passed through unchanged.
using UnZipSkipTypes = int;
using TZipDiskStatus = int;
using TZipDiskAction = int;

// The component's own error: a message id and its text.
class EZipBuilder : public std::runtime_error {
public:
    EZipBuilder(int id, bool showInBox);
    EZipBuilder(int id, int diskNo);
    EZipBuilder(int id, const std::string &drive);
    EZipBuilder(int id, const char *drive) : EZipBuilder(id, std::string(drive)) {}
    EZipBuilder(int id, const std::string &name1, const std::string &name2);
    bool ShowInBox;
    int TextId;

private:
    struct Text {};
    EZipBuilder(Text, int id, bool show, const std::string &text);
};

// The end-of-central-directory record without its comment. Fields that
// overflowed into a Zip64 end record hold that record's values.
struct ZipEndOfCentral {
    uint32_t HeaderSig = 0;
    uint16_t ThisDiskNo = 0; // sets of 65,535 volumes and more are not read
    uint16_t CentralDiskNo = 0;
    uint64_t CentralEntriesOnDisk = 0;
    uint64_t TotalEntries = 0;
    uint64_t CentralSize = 0;
    uint64_t CentralOffset = 0;
    uint16_t ZipCommentLen = 0;
    bool Zip64 = false; // a Zip64 end record stands before the end record
};

// How AddEncrypt encrypts: WinZip AES-256 (AE-2), or the traditional PKWARE
// cipher, which a known-plaintext attack breaks and which only old unzip
// programs need.
enum ZipEncryption { zeAES256, zeZipCrypto };

// One listed archive member: the central directory header fields after the
// signature, then the decoded name, comment, encryption flag and extra field.
struct ZipDirEntry {
    uint8_t MadeByVersion = 0;
    uint8_t HostVersionNo = 0;
    uint16_t Version = 0;
    uint16_t Flag = 0;
    uint16_t CompressionMethod = 0;
    uint32_t DateTime = 0;
    uint32_t CRC32 = 0;
    uint64_t CompressedSize = 0;   // Zip64 values where the header defers to them
    uint64_t UncompressedSize = 0;
    uint16_t FileNameLength = 0;
    uint16_t ExtraFieldLength = 0;
    uint16_t FileCommentLen = 0;
    uint32_t StartOnDisk = 0;
    uint16_t IntFileAttrib = 0;
    uint32_t ExtFileAttrib = 0;
    uint64_t RelOffLocalHdr = 0;
    std::string FileName;
    std::string FileComment;
    bool Encrypted = false;
    std::vector<uint8_t> ExtraData; // empty when the header has none
};

// The memory stream ExtractFileToStream fills; one per component.
class TZipStream {
public:
    void Clear() { data_.clear(); pos_ = 0; }
    void SetPointer(const void *memory, size_t size);
    void SetSize(size_t size) { data_.resize(size); pos_ = std::min(pos_, size); }
    size_t Size() const { return data_.size(); }
    size_t Position() const { return pos_; }
    void SetPosition(size_t p) { pos_ = std::min(p, data_.size()); }
    size_t Read(void *buf, size_t n);
    uint8_t *Memory() { return data_.data(); }
    const std::string_view View() const { return {reinterpret_cast<const char *>(data_.data()), data_.size()}; }

private:
    std::vector<uint8_t> data_;
    size_t pos_ = 0;
};

// How the component asks for a password. The wizard installs the dialog
// (zip/PasswordDialogQt.h); without one every question is cancelled.
class ZipPasswordPrompt {
public:
    virtual ~ZipPasswordPrompt() = default;
    // Shows the question modally; the typed text when confirmed, nothing when
    // cancelled.
    virtual std::optional<std::string> ask(const std::string &caption, const std::string &prompt,
                                           const std::string &okCaption, const std::string &cancelCaption) = 0;
};
ZipPasswordPrompt *zipPasswordPrompt();
void setZipPasswordPrompt(ZipPasswordPrompt *p); // not owned; nullptr removes it

class TZipBuilder {
public:
    static constexpr const char *kVersion = "1.60 L";
    static constexpr int kMaxPasswordReqCount = 15;

    TZipBuilder();
    virtual ~TZipBuilder();
    TZipBuilder(const TZipBuilder &) = delete;
    TZipBuilder &operator=(const TZipBuilder &) = delete;

    // --- published properties without setter rules
    bool Verbose = false;
    bool Trace = false;
    int AddCompLevel = 9;
    AddOpts AddOptions;
    ZipEncryption AddEncryption = zeAES256;
    ExtrOpts ExtrOptions;
    SFXOpts SFXOptions{SFXCheckSize};
    std::string ExtrBaseDir;
    std::vector<std::string> FSpecArgs;
    std::string Password;
    std::string SFXPath;
    OvrOpts SFXOverWriteMode = OvrConfirm;
    std::string SFXCaption = "Self-extracting Archive";
    std::string SFXDefaultDir;
    std::string SFXCommandLine;
    std::string SFXMessage;
    std::string TempDir;
    bool ConfirmErase = true;
    bool Unattended = false;
    CPOpts CodePage = cpAUTO;
    DeleteOpts HowToDelete = htdAllowUndo;
    std::string SFXIcon; // icon file contents
    AddStoreExts AddStoreSuffixes{assGIF, assPNG, assZ, assZIP, assZOO, assARC, assLZH, assARJ, assTAZ, assTGZ, assLHA};
    std::vector<std::string> FSpecArgsExcl;
    bool UseDirOnlyEntries = false;

    // --- properties with setter rules
    const std::string &ZipFileName() const { return zipFileName_; }
    void SetFileName(const std::string &name); // re-lists the archive
    void SetZipFileName(const std::string &name) { SetFileName(name); }
    const std::string &DLLDirectory() const { return dllDirectory_; }
    void SetDLLDirectory(const std::string &dir);
    const std::string &RootDir() const { return rootDir_; }
    void SetRootDir(const std::string &dir);
    long MaxVolumeSize() const { return maxVolumeSize_; }
    void SetMaxVolumeSize(long v);
    long KeepFreeOnDisk1() const { return freeOnDisk1_; }
    void SetFreeOnDisk1(long v);
    long MinFreeVolumeSize() const { return minFreeVolSize_; }
    void SetMinFreeVolSize(long v);
    unsigned PasswordReqCount() const { return passwordReqCount_; }
    void SetPasswordReqCount(unsigned v);
    std::string VersionInfo() const { return kVersion; }
    void SetVersionInfo(const std::string &) {}
    void SetFSpecArgs(const std::vector<std::string> &l) { FSpecArgs = l; }
    void SetFSpecArgsExcl(const std::vector<std::string> &l) { FSpecArgsExcl = l; }

    // --- events
    std::function<void(TZipBuilder *)> OnDirUpdate;
    std::function<void(TZipBuilder *, ProgressType, const std::string &, long)> OnProgress;
    std::function<void(TZipBuilder *, int, const std::string &)> OnMessage;
    std::function<void(TZipBuilder *, std::string &, bool &)> OnSetNewName;
    std::function<void(TZipBuilder *, int, ZipDirEntry &)> OnNewName;
    std::function<void(TZipBuilder *, std::string &, const std::string &, unsigned &)> OnPasswordError;
    std::function<void(TZipBuilder *, const std::string &, unsigned, unsigned, bool &)> OnCRC32Error;
    std::function<void(TZipBuilder *, const std::string &, bool, bool &)> OnExtractOverwrite;
    std::function<void(TZipBuilder *, const std::string &, UnZipSkipTypes, int)> OnExtractSkipped;
    std::function<void(TZipBuilder *, const std::string &, bool &)> OnCopyZipOverwrite;
    std::function<void(TZipBuilder *, int, int, const std::string &, bool &)> OnGetNextDisk;
    std::function<void(TZipBuilder *, int, const std::string &, TZipDiskStatus, TZipDiskAction &)> OnStatusDisk;
    std::function<void(TZipBuilder *, const std::string &, std::string &, bool &)> OnFileComment;

    // --- run-time state
    bool CancelRequested = false;
    int LastErrorCode = 0;
    int LastFullErrorCode = 0;
    int ProcessedCount = 0;
    std::string LastMessage;
    int64_t TotalBytesToProcess = 0;
    void *OwnerWindow = nullptr;
    std::vector<ZipDirEntry> Entries;
    bool ZipCallActive = false;
    bool UnzipCallActive = false;
    bool StoreDialogPassword = true;

    int GetCount() const { return zipFileName_.empty() ? 0 : static_cast<int>(Entries.size()); }
    int Count() const { return GetCount(); }

    // What the last List found.
    int64_t ArchiveDataOffset() const { return archiveDataOffset_; }
    int64_t EndOfCentralOffset() const { return endOfCentralOffset_; }
    int64_t CentralDirOffset() const { return centralDirOffset_; }
    int SkippedDirEntryCount() const { return skippedDirEntryCount_; }
    bool Shifted() const { return shifted_; }
    bool Spanned() const { return spanned_; }
    int DiskNr() const { return diskNr_; }
    int64_t LogicalFileSize() const { return logicalSize_; }

    // --- operations
    void List();
    void FreeZipDirEntryRecords() { Entries.clear(); }
    void Add();
    void Extract() { ExtExtract(false); }
    void ExtExtract(bool toStream);
    TZipStream *ExtractFileToStream(const std::string &memberName);

    // ---- members streamed while other work runs (a save file moving) ----
    // The library call runs on a thread of its own while `beside` runs on
    // the calling thread; the library's reports reach the event handlers
    // there, in order, whenever `beside` processes events and before these
    // return. Questions it would ask (password, overwrite) get no answer.
    // `beside` must end the stream (whole or not) before it returns or
    // throws; what it throws is thrown again once the library has ended.
    // A multi-volume archive or a program file is not streamed: these
    // return false at once and do nothing, and the caller takes the file way.
    struct StreamIn {
        std::string path; // the FSpecArgs entry whose data this is
        int64_t size = 0;
        uint32_t mode = 0100600;
        // Called on the library's thread: bytes given, 0 at the end of whole
        // data, negative when the data failed (no archive is written).
        std::function<long(uint8_t *buf, size_t max)> read;
        // On the library's thread once it is done with the stream, however
        // the call ended: a producer still waiting must stop.
        std::function<void()> closed;
    };
    struct StreamOut {
        std::string member;
        // Called on the library's thread; false stops the extract.
        std::function<bool(const uint8_t *data, size_t n)> write;
        // Once: whether the member ended whole with a matching CRC.
        std::function<void(bool whole)> end;
    };
    bool AddStreamed(const StreamIn &in, const std::function<void()> &beside);
    bool ExtractStreamed(const StreamOut &out, const std::function<void()> &beside);
    void Delete();
    std::string GetZipComment() const;
    void SetZipComment(const std::string &text);
    std::string ZipComment() const { return GetZipComment(); }
    std::string GetAddPassword();
    std::string GetExtrPassword();
    bool GetPassword(const std::string &caption, const std::string &prompt, std::string &password);
    std::string MakeTempFileName(const std::string &prefix, const std::string &extension);

    // DLL handling (the handles are process-wide).
    void Load_Zip_Dll();
    void Load_Unz_Dll();
    static void Unload_Zip_Dll();
    static void Unload_Unz_Dll();
    int GetZipVers();
    int GetUnzVers();
    static bool ZipDllLoaded();
    static bool UnzDllLoaded();

    // Messages.
    void ShowZipMessage(int id, const std::string &extra = {});
    void ShowExceptionError(const EZipBuilder &e);
    // Inside a catch block of a copy, split or join: reports the exception
    // that ended it; the result is -7 for a zip fault, -8 for lack of memory,
    // -9 for anything else.
    int ReportFault();

    // Utilities.
    static std::string AppendSlash(const std::string &s);
    static std::string ReplaceForwardSlash(const std::string &s);
    // Archive bytes <-> text by the character-set rule of the last List.
    std::string ConvertOem2Iso(const std::string &s, CodePageDirection dir) const;
    std::string AddSuffix() const; // the stored-suffix list handed to the zip library
    bool OemConversionApplies() const;

    // The libraries call back here (one argument, the callback record).
    static int32_t ZCallback(ZCallBackStruct *rec);

    // Fill the common part of a library record (the operation owns it).
    int ExecZipDll(const std::string &archive, int version, bool deleting);
    int ExecUnzDll(const std::string &archive, int version, bool toStream);
    void SetZipSwitches(ZipDllParams &p, ParamStore &own, const std::string &archive, int version);
    void SetZipSwitchesOld(ZipDllParamsOld &p, ParamStore &own, const std::string &archive);
    void SetUnZipSwitches(UnzDllParams &p, ParamStore &own, const std::string &archive, int version);
    void SetUnZipSwitchesOld(UnzDllParamsOld &p, ParamStore &own, const std::string &archive, int version);

    // ===== Copying and renaming members, self-extractors (ZipBuilderCopy.cpp,
    // ZipBuilderSFX.cpp). Archive rewrites go to a temporary file that
    // replaces the archive only when it is complete.
    struct RenameRequest {
        std::string Source;    // old name or part of it; a folder ends in '/'
        std::string Dest;      // new name
        uint32_t DateTime = 0; // DOS date (high 16 bits) and time; 0 = keep
    };
    int Rename(const std::vector<RenameRequest> &requests, uint32_t dateTime);
    int CopyZippedFiles(TZipBuilder *destination, bool deleteFromSource, OvrOpts overwrite);
    int CopyFileA(const std::string &inFile, const std::string &outFile);
    int EraseFile(const std::string &name, DeleteOpts how);
    int CopyBuffer(int inFd, int outFd, int64_t count); // count -1: to the end
    int ConvertSFX(bool newProgram = false);
    int ConvertZIP();
    int ReplaceIcon(int fd, int64_t stubSize);
    int RWCentralDir(int outFd, const ZipEndOfCentral &eoc, int64_t shift);
    // The self-extractor header the SFX... properties give.
    std::string SFXHeader() const;

private:
    bool copyProgress_ = false;
    bool findSFXStub();
    void readSFXHeader(const std::string &stub, size_t tail); // stub: all bytes before the archive
    int replaceArchiveFile(const std::string &tempName, const std::string &target, DeleteOpts how);
    // ===== end of copying, renaming and self-extractors

    // ===================== Multi-volume archives (ZipBuilderSpan*.cpp) =====================
    // A set is a series of numbered files (backup001.zip, ...) on a fixed or
    // network drive, or one file of the archive's name on each of several
    // removable disks labelled "PKBACK# 001", ... The libraries never see a set.
public:
    // Bits of TZipDiskStatus handed to OnStatusDisk.
    enum : int { zdsEmpty = 1, zdsHasFiles = 2, zdsPreviousDisk = 4, zdsSameFileName = 8, zdsNotEnoughSpace = 16 };
    // Splits a single-file archive into volumes named after outFile.
    // 0 = done, -7 = a reported EZipBuilder, -8 = out of memory, -9 = another error.
    int WriteSpan(const std::string &inFile, const std::string &outFile);
    // Joins the set whose last volume is inFile. outFile: a folder (the joined
    // archive gets a temporary name) or a file name; on return the joined
    // archive's name, or "" on failure. Same results as WriteSpan.
    int ReadSpan(const std::string &inFile, std::string &outFile);
    // Prepares the removable disk in the drive for volume writing: erase it
    // and set its label. 0 done, -1 error, -2 cancelled, -3 could not start.
    int ZipFormat();
    int CurrentVolume() const { return curVolume_; } // 0-based; -1: the last one is wanted
    const std::string &VolumeDrive() const { return drive_; }
    const std::string &VolumeLabel() const { return volumeLabel_; }
    // "backup.zip" -> "backup001.zip" for volume 1.
    static std::string NumberedVolumeName(const std::string &name, int volumeNo);

protected:
    struct MDZipData {
        uint16_t disk = 0;         // volume of the local header
        int64_t offset = 0;        // of the local header, in its volume or the joined file
        std::string name;          // stored name bytes
        uint64_t compSize = 0;
        uint16_t flag = 0;
        int64_t newOffset = 0;     // where it went in the output
        bool done = false;
    };
    bool IsDiskPresent();
    bool IsRightDisk(int driveType);
    int CheckForDisk();
    void GetNewDisk(int diskSeq);
    void DiskFreeAndSize(int which);
    void WriteSplit(const void *buf, size_t len, size_t minSpace);
    void RWSplitData(uint8_t *buf, int64_t len, int errId);
    void WriteJoin(const void *buf, size_t len, int errId);
    void RWJoinData(uint8_t *buf, int64_t len, int errId);
    static int FindZipEntry(const std::vector<MDZipData> &md, const std::string &name);
    void SetDriveFromName(const std::string &name);

private:
    void openOutVolume();
    void closeOutVolume();
    size_t readJoin(uint8_t *buf, size_t len, int errId, int *startDisk = nullptr, int64_t *startPos = nullptr);
    std::string diskPrompt();
    bool askStatus(int status, const std::string &file, int number, int &action);
    void followDisk();

    std::string drive_;          // root of the volume in use
    std::string driveDevice_;    // its device while it is a removable volume
    std::string volumeLabel_;
    std::string outVolumeName_;  // the output archive's name while splitting
    int curVolume_ = 0;
    int totalDisks_ = -1;
    int64_t freeOnDisk_ = 0;
    int64_t sizeOfDisk_ = 0;
    bool newDisk_ = false;
    bool showProgress_ = false;
    bool writingSpan_ = false;
    int64_t sourceDate_ = 0;     // seconds since the epoch
    int outFd_ = -1;
    std::string outPath_;        // the open output volume
    int64_t diskWritePos_ = 0;
    int64_t joinWritePos_ = 0;
    int driveType_ = 0;
    int lastStatusAction_ = 0;
    std::string formatLabel_;
    int formatDisk_ = 0;
    // =================== end of multi-volume archives ===================

protected:
    // Opens the working file, finds the end record and reads the comment.
    bool CheckIfLastDisk(ZipEndOfCentral &eoc, bool raiseErrors);
    // Where the central directory ends: at the Zip64 end record when there
    // is one, else at the end record (as of the last CheckIfLastDisk).
    int64_t DirectoryEnd() const { return directoryEnd_; }

private:
    struct FileCloser {
        void operator()(std::FILE *f) const { std::fclose(f); }
    };
    void dispatch(ZCallBackStruct *rec);
    std::string decodeName(const std::string &raw, uint16_t flag) const;
    void listEntries(const ZipEndOfCentral &eoc);
    void readZip64End(ZipEndOfCentral &eoc);

    std::unique_ptr<std::FILE, FileCloser> file_; // the volume List reads
    std::string workName_;
    int volumeSeq_ = 0; // sequence number from a "PKBACK# " label
    bool firstOfSet_ = false;
    int64_t cdPosition_ = 0;
    bool callbackFailed_ = false; // an event handler threw inside a library call
    // A streamed call in progress (ZipBuilderStream.cpp).
    struct StreamRun;
    StreamRun *streamRun_ = nullptr;
    // A report from the library's thread during a streamed call is queued
    // for the calling thread; true when it was (`result` answers it).
    static bool queueFromLibraryThread(TZipBuilder *zb, ZCallBackStruct *rec, int32_t &result);
    ZipStreamSource *zipStream_ = nullptr;
    UnzStreamTarget *unzStream_ = nullptr;

    std::string zipFileName_;
    std::string dllDirectory_;
    std::string rootDir_;
    long maxVolumeSize_ = 0;
    long freeOnDisk1_ = 0;
    long minFreeVolSize_ = 65536;
    unsigned passwordReqCount_ = 1;

    std::string rawComment_;
    int64_t endOfCentralOffset_ = 0;
    int64_t directoryEnd_ = 0;
    int64_t centralDirOffset_ = 0;
    int64_t archiveDataOffset_ = 0;
    int64_t logicalSize_ = 0;
    int64_t physicalSize_ = 0;
    int skippedDirEntryCount_ = 0;
    bool shifted_ = false;
    bool spanned_ = false;
    int diskNr_ = 0;
    uint8_t hostNum_ = 0;
    uint8_t hostVer_ = 0;

    TZipStream stream_;
};
