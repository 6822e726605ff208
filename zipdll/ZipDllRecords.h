#pragma once
/*
 * Records shared by TZipBuilder and the two run-time loaded libraries
 * libzipdll.so (add, delete) and libunzdll.so (extract, test).
 *
 * The layout is the one the Windows DLLs use: fields in the same order, 32-bit
 * integers, pointers as pointers. On a 32-bit build every offset equals the
 * Windows offset (checked below); on 64-bit the pointers widen and the order
 * and meaning stay. Fields named ReservedNN are zeroed by the component and
 * ignored by the libraries (NN = their 32-bit offset).
 *
 * Plain C so that either side may be written in C or C++.
 */

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Versions the libraries report (version times 100). */
#define ZIPDLL_VERSION 160
#define UNZDLL_VERSION 160
/* Value the component stores in the record's Seven field; the libraries
 * refuse a record without it (wrong layout or garbage pointer). */
#define ZIPDLL_RECORD_MARK 7
/* Spec pointers that fit in the records of libraries older than 151/152. */
#define ZIPDLL_OLD_MAX_SPECS 4097

/* Library and entry point names looked up with dlopen/dlsym. */
#define ZIPDLL_LIBRARY_NAME "libzipdll.so"
#define UNZDLL_LIBRARY_NAME "libunzdll.so"
#define ZIPDLL_EXEC_NAME "ZipDllExec"
#define ZIPDLL_VERSION_NAME "GetZipDllVersion"
#define UNZDLL_EXEC_NAME "UnzDllExec"
#define UNZDLL_VERSION_NAME "GetUnzDllVersion"

/* Text field of the callback record; for a file comment (action 12) the
 * member's current comment starts ZCB_COMMENT_OFFSET bytes into it. */
#define ZCB_TEXT_SIZE 512
#define ZCB_COMMENT_OFFSET 256
/* Longest texts the component copies back into the text field. */
#define ZCB_MAX_NAME 511
#define ZCB_MAX_PASSWORD 81

/* How the zip library encrypts (ZipDllParams.EncryptMethod). A record that
 * leaves the field zero gets WinZip AES-256; ZipCrypto only when named. */
enum ZipEncryptMethod {
    zemAes256 = 0,   /* WinZip AES, AE-2, AES-256 */
    zemZipCrypto = 1 /* traditional PKWARE encryption: weak, for old unzips */
};

/* ActionCode values of the callback record. */
enum ZCallbackAction {
    zacFileStart = 1,   /* Text = member name, FileSize = its size (actions 1, 2, 6:
                           ErrorCode = the size's high 32 bits) */
    zacBytesDone = 2,   /* FileSize = bytes processed since the last report */
    zacBatchEnd = 3,    /* end of the operation */
    zacMessage = 4,     /* Text = message, ErrorCode = ZdllError (0 = information) */
    zacFileCount = 5,   /* FileSize = number of members the operation will process */
    zacTotalBytes = 6,  /* FileSize = uncompressed bytes the operation will process */
    zacNewName = 7,     /* Text = name to store; reply: ErrorCode 1 and Text = new name */
    zacPassword = 8,    /* Text = member, ErrorCode bit 0 = add (1) / extract (0),
                           FileSize = repeat count; reply: ErrorCode 1 and Text =
                           password, FileSize = remaining repeat count */
    zacCrcError = 9,    /* Text = member, ErrorCode = CRC found, FileSize = CRC
                           expected; reply ErrorCode: 1 keep, 0 discard, 2 no handler */
    zacOverwrite = 10,  /* Text = file, ErrorCode 1 = existing file is older,
                           FileSize = default answer; reply FileSize: 1 overwrite */
    zacSkipped = 11,    /* Text = member, ErrorCode = ZdllError, FileSize low byte =
                           UnzSkipType */
    zacFileComment = 12 /* Text = member, Text+256 = its comment; reply: ErrorCode 1,
                           Text = new comment, FileSize = its length */
};

/* Answers to zacCrcError in ErrorCode. */
enum ZCrcAnswer { zcaDiscard = 0, zcaKeep = 1, zcaNoHandler = 2 };

/* Why the unzip library skipped a member (low byte of FileSize in action 11). */
enum UnzSkipType {
    ustFreshenNoFile = 0,      /* freshen: no existing file to refresh */
    ustNoOverwrite = 1,        /* file exists and overwriting was declined */
    ustNewerExists = 2,        /* update/freshen: the existing file is as new or newer */
    ustBadPassword = 3,        /* no password, or a wrong one */
    ustUnsupportedCrypt = 4,   /* encryption other than traditional PKWARE and WinZip AES */
    ustUnknownMethod = 5,      /* compression method other than store/deflate */
    ustUnsafeName = 6,         /* name would leave the extraction folder */
    ustDamaged = 7,            /* local header or data does not match the directory, or
                                  the AES authentication code does not match the data */
    ustExtractError = 8,       /* could not create or write the output */
    ustCrcError = 9,           /* data CRC does not match */
    ustTooLarge = 10           /* does not fit the memory buffer or the format limits */
};

/* Error codes the libraries put in ErrorCode of messages and skips. The
 * component keeps the low byte as LastErrorCode. */
enum ZdllError {
    zdeNone = 0,
    zdeOpen = 1,       /* cannot open the archive or an input file */
    zdeRead = 2,       /* read error */
    zdeWrite = 3,      /* write error (disk full, permissions) */
    zdeFormat = 4,     /* damaged or unsupported archive */
    zdeCrc = 5,        /* CRC mismatch */
    zdePassword = 6,   /* password missing or wrong */
    zdeMemory = 7,     /* out of memory */
    zdeParams = 8,     /* record not usable (missing mark, no archive name) */
    zdeAborted = 9,    /* the callback asked to stop */
    zdeTooLarge = 10,  /* beyond the zip format's 32-bit limits */
    zdeUnsafe = 11,    /* member name would leave the extraction folder */
    zdeMethod = 12,    /* unsupported compression or encryption */
    zdeNothing = 13,   /* no file matched the specs */
    zdeTemp = 14       /* temporary file could not be made or renamed */
};

typedef struct ZCallBackStruct {
    void *OwnerWindow;            /*  0 handle from the parameter record */
    void *Caller;                 /*  4 caller value from the parameter record */
    int32_t Version;              /*  8 library version */
    int32_t IsZip;                /* 12 1 = zip library, 0 = unzip library */
    int32_t ActionCode;           /* 16 ZCallbackAction */
    int32_t ErrorCode;            /* 20 error code / first reply field */
    uint32_t FileSize;            /* 24 size / second reply field */
    char Text[ZCB_TEXT_SIZE];     /* 28 file name or message, zero-terminated */
} ZCallBackStruct;

/* Nonzero result = stop the operation. */
typedef int32_t (*ZCallbackFunc)(ZCallBackStruct *record);

/* One add/delete file spec (array at ZipDllParams.Specs). */
typedef struct ZipSpecEntry {
    char *Spec;                   /*  0 pattern (markers and password removed) */
    int32_t Reserved4;
    int32_t Reserved8;
    char *Password;               /* 12 password for this spec, or null */
    int32_t Encrypt;              /* 16 encrypt what this spec matches */
    int16_t Recurse;              /* 20 recurse into subdirectories */
    int16_t Reserved22;
    int32_t Reserved24[3];
    char *RootDir;                /* 36 base folder the file pattern is relative to, or null */
    int32_t Reserved40[16];
} ZipSpecEntry;

/* A member whose data is read through a callback instead of from a file: a
 * save file while it downloads. The file spec equal to Path stands for it;
 * the member is named, sized and marked as a file at Path would be, and is
 * dated when Read reports the end (the moment such a file was last written).
 * The data cannot be read twice: data that does not shrink is inflated back
 * from the archive to be stored. */
typedef struct ZipStreamSource {
    const char *Path;             /* the file spec it stands for */
    void *Context;
    int64_t Size;                 /* the bytes Read will give */
    uint32_t Mode;                /* st_mode recorded for it (S_IFREG | 0600) */
    /* Up to n bytes into buf: the count; 0 at the end of whole data; negative
     * when the data failed (the add fails and no archive is written). */
    int32_t (*Read)(void *context, void *buf, int32_t n);
} ZipStreamSource;

/* The one member an extract sends to a callback instead of a file: the save
 * file inflated straight into its upload. Member names the member (no
 * wildcards); nothing is written to the file system for it. */
typedef struct UnzStreamTarget {
    const char *Member;
    void *Context;
    /* n bytes of the member's data; nonzero = stop (the extract fails). */
    int32_t (*Write)(void *context, const void *data, int32_t n);
    /* The member ended: 1 when its data was whole and its CRC (or AES
     * authentication code) matched, 0 otherwise. Called once whenever
     * Write was called, and also when the member was never reached. */
    void (*End)(void *context, int32_t whole);
} UnzStreamTarget;

/* One extract spec (array at UnzDllParams.Specs). */
typedef struct UnzSpecEntry {
    char *Spec;                   /*  0 member name or wildcard pattern */
    int32_t Reserved4[17];
} UnzSpecEntry;

/* Parameters of ZipDllExec, record of libraries from version 151 on. */
typedef struct ZipDllParams {
    void *OwnerWindow;            /*   0 */
    void *Caller;                 /*   4 returned in ZCallBackStruct.Caller */
    int32_t Version;              /*   8 component's version (160) */
    ZCallbackFunc Callback;       /*  12 */
    int32_t Trace;                /*  16 */
    char *Password;               /*  20 global password, or null */
    char *StoreSuffixes;          /*  24 ".gif:.png:..." stored uncompressed, or null */
    int32_t Encrypt;              /*  28 */
    int32_t HiddenFiles;          /*  32 include hidden files */
    int32_t Volume;               /*  36 (volume label; nothing on Linux) */
    int32_t EncryptMethod;        /*  40 ZipEncryptMethod for what Encrypt covers */
    int32_t NoDirEntries;         /*  44 1 = no separate directory entries */
    int32_t Reserved48;
    int32_t Verbose;              /*  52 */
    int32_t Quiet;                /*  56 always 1 */
    int32_t Level;                /*  60 compression level 0..9 (0 = store) */
    int32_t Reserved64;
    int32_t Reserved68;
    int32_t JunkDirNames;         /*  72 1 = store names without their folders */
    int16_t Recurse;              /*  76 */
    int16_t Reserved78;
    int32_t Grow;                 /*  80 always 1: add to an existing archive */
    int32_t ForceDos;             /*  84 8.3 upper-case names */
    int32_t Move;                 /*  88 delete the files once they are in the archive */
    int32_t DeleteEntries;        /*  92 1 = delete the members named by the specs */
    int32_t Update;               /*  96 add new files and newer versions */
    int32_t Freshen;              /* 100 replace only newer versions of members */
    int32_t Reserved104;
    int32_t ZipTime;              /* 108 archive's time = newest member's time */
    int32_t Reserved112;
    int32_t Reserved116;
    int32_t SpecCount;            /* 120 entries in Specs */
    char *ArchiveName;            /* 124 archive to write */
    char *TempDir;                /* 128 folder for the temporary archive, or null */
    char *Comment;                /* 132 archive comment, or null */
    int16_t ArchiveOnly;          /* 136 (Windows archive attribute; nothing on Linux) */
    int16_t ResetArchive;         /* 138 (idem) */
    ZipSpecEntry *Specs;          /* 140 SpecCount entries */
    int32_t Reserved144;
    int32_t ExclCount;            /* 148 entries in ExclSpecs */
    char **ExclSpecs;             /* 152 exclusion patterns */
    ZipStreamSource *Stream;      /* 156 a member read through callbacks, or null */
    int32_t Reserved160[13];
    int32_t Seven;                /* 212 ZIPDLL_RECORD_MARK */
} ZipDllParams;

/* Parameters of UnzDllExec, record of libraries from version 152 on. */
typedef struct UnzDllParams {
    void *OwnerWindow;            /*   0 */
    void *Caller;                 /*   4 */
    int32_t Version;              /*   8 component's version (160) */
    ZCallbackFunc Callback;       /*  12 */
    int32_t Trace;                /*  16 */
    int16_t CodePage;             /*  20 CPOpts ordinal */
    int16_t Reserved22;
    char *Password;               /*  24 password (may be empty) */
    int32_t Test;                 /*  28 test only, write nothing */
    int32_t Reserved32;
    int32_t Reserved36;
    int32_t Quiet;                /*  40 always 1 */
    int32_t Verbose;              /*  44 */
    int32_t Update;               /*  48 extract new files and newer versions */
    int32_t Freshen;              /*  52 replace only existing older files */
    int32_t DirNames;             /*  56 recreate stored folders */
    int32_t Overwrite;            /*  60 overwrite existing files without asking */
    int32_t SpecCount;            /*  64 entries in Specs */
    char *ArchiveName;            /*  68 */
    UnzSpecEntry *Specs;          /*  72 SpecCount entries */
    int32_t Reserved76;
    int32_t ExtractToMemory;      /*  80 1 = the one member goes to MemBuffer */
    void *MemBuffer;              /*  84 */
    uint32_t MemSize;             /*  88 size of MemBuffer (the member's size) */
    UnzStreamTarget *Stream;      /*  92 the member that goes to a callback, or null */
    int32_t Reserved96[2];
    int32_t PasswordReqCount;     /* 104 how often a password may be asked for */
    int32_t Reserved108[9];
    int32_t Seven;                /* 144 ZIPDLL_RECORD_MARK */
} UnzDllParams;

/* Records of libraries older than 151 (zip) / 152 (unzip): the file patterns
 * follow inline. Our libraries are newer; the component still knows these. */
typedef struct ZipDllParamsOld {
    void *OwnerWindow, *Caller;
    int32_t Version;
    ZCallbackFunc Callback;
    int32_t Trace;
    char *Password, *StoreSuffixes;
    int32_t Encrypt, HiddenFiles, Volume, Reserved40, NoDirEntries, Reserved48,
        Verbose, Quiet, Level, Reserved64, Reserved68, JunkDirNames;
    int16_t Recurse, Reserved78;
    int32_t Grow, ForceDos, Move, DeleteEntries, Update, Freshen, Reserved104,
        ZipTime, Reserved112, Reserved116, SpecCount;
    char *ArchiveName;                    /* 124 */
    int32_t Seven;                        /* 128 */
    char *Specs[ZIPDLL_OLD_MAX_SPECS];    /* 132 */
} ZipDllParamsOld;

typedef struct UnzDllParamsOld {
    void *OwnerWindow, *Caller;
    int32_t Version;
    ZCallbackFunc Callback;
    int32_t Trace;
    int16_t CodePage, Reserved22;
    char *Password;
    int32_t Test, Reserved32, Reserved36, Quiet, Verbose, Update, Freshen,
        DirNames, Overwrite, SpecCount;
    char *ArchiveName;                    /* 68 */
    int32_t Seven;                        /* 72 */
    char *Specs[ZIPDLL_OLD_MAX_SPECS];    /* 76 */
} UnzDllParamsOld;

/* Entry points. Exec returns the number of files processed. */
typedef int32_t (*ZipDllExecFunc)(ZipDllParams *params);
typedef int32_t (*GetZipDllVersionFunc)(void);
typedef int32_t (*UnzDllExecFunc)(UnzDllParams *params);
typedef int32_t (*GetUnzDllVersionFunc)(void);

int32_t ZipDllExec(ZipDllParams *params);
int32_t GetZipDllVersion(void);
int32_t UnzDllExec(UnzDllParams *params);
int32_t GetUnzDllVersion(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define ZDLL_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define ZDLL_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
/* 32-bit: the records are byte for byte the Windows ones. */
ZDLL_STATIC_ASSERT(sizeof(ZCallBackStruct) == 540, "ZCallBackStruct size");
ZDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, ActionCode) == 16, "ActionCode");
ZDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, ErrorCode) == 20, "ErrorCode");
ZDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, FileSize) == 24, "FileSize");
ZDLL_STATIC_ASSERT(offsetof(ZCallBackStruct, Text) == 28, "Text");
ZDLL_STATIC_ASSERT(sizeof(ZipSpecEntry) == 104, "ZipSpecEntry size");
ZDLL_STATIC_ASSERT(offsetof(ZipSpecEntry, Password) == 12, "spec Password");
ZDLL_STATIC_ASSERT(offsetof(ZipSpecEntry, Encrypt) == 16, "spec Encrypt");
ZDLL_STATIC_ASSERT(offsetof(ZipSpecEntry, Recurse) == 20, "spec Recurse");
ZDLL_STATIC_ASSERT(offsetof(ZipSpecEntry, RootDir) == 36, "spec RootDir");
ZDLL_STATIC_ASSERT(sizeof(UnzSpecEntry) == 72, "UnzSpecEntry size");
ZDLL_STATIC_ASSERT(sizeof(ZipDllParams) == 216, "ZipDllParams size");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Callback) == 12, "zip Callback");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Password) == 20, "zip Password");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, StoreSuffixes) == 24, "zip StoreSuffixes");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, NoDirEntries) == 44, "zip NoDirEntries");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Level) == 60, "zip Level");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, JunkDirNames) == 72, "zip JunkDirNames");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Recurse) == 76, "zip Recurse");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Grow) == 80, "zip Grow");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, DeleteEntries) == 92, "zip DeleteEntries");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Freshen) == 100, "zip Freshen");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ZipTime) == 108, "zip ZipTime");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, SpecCount) == 120, "zip SpecCount");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ArchiveName) == 124, "zip ArchiveName");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, TempDir) == 128, "zip TempDir");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Comment) == 132, "zip Comment");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ArchiveOnly) == 136, "zip ArchiveOnly");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ResetArchive) == 138, "zip ResetArchive");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Specs) == 140, "zip Specs");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ExclCount) == 148, "zip ExclCount");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, ExclSpecs) == 152, "zip ExclSpecs");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParams, Seven) == 212, "zip Seven");
ZDLL_STATIC_ASSERT(sizeof(UnzDllParams) == 148, "UnzDllParams size");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, CodePage) == 20, "unz CodePage");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Password) == 24, "unz Password");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Test) == 28, "unz Test");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Quiet) == 40, "unz Quiet");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Overwrite) == 60, "unz Overwrite");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, SpecCount) == 64, "unz SpecCount");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, ArchiveName) == 68, "unz ArchiveName");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Specs) == 72, "unz Specs");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, ExtractToMemory) == 80, "unz ExtractToMemory");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, MemBuffer) == 84, "unz MemBuffer");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, MemSize) == 88, "unz MemSize");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, PasswordReqCount) == 104, "unz PasswordReqCount");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParams, Seven) == 144, "unz Seven");
ZDLL_STATIC_ASSERT(sizeof(ZipDllParamsOld) == 16520, "ZipDllParamsOld size");
ZDLL_STATIC_ASSERT(offsetof(ZipDllParamsOld, Seven) == 128, "old zip Seven");
ZDLL_STATIC_ASSERT(sizeof(UnzDllParamsOld) == 16464, "UnzDllParamsOld size");
ZDLL_STATIC_ASSERT(offsetof(UnzDllParamsOld, Seven) == 72, "old unz Seven");
#endif
