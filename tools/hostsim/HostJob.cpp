#include "HostJob.h"

#include "ClParser.h"
#include "Ebcdic.h"
#include "SaveFile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

namespace hostsim {

namespace {

struct CommandDef {
    const char *name;
    std::vector<const char *> params; // in positional order
    size_t positional;
    std::vector<const char *> required;
};

const CommandDef kCommands[] = {
    {"CHGJOB",
     {"JOB", "JOBPTY", "OUTPTY", "PRTTXT", "RTGDTA", "RQSDTA", "SWS", "TIMESLICE", "PURGE", "DFTWAIT", "DEVRCYACN",
      "TSEPOOL", "PRTDEVNAM", "OUTQ", "JOBQ", "DATFMT", "DATSEP", "TIMSEP", "SRTSEQ", "LANGID", "CNTRYID", "CCSID",
      "DECFMT", "CHRIDCTL", "SPLFACN", "LOG", "LOGCLPGM", "LOGOUTPUT", "INQMSGRPY", "BRKMSG", "STSMSG", "DDMCNV",
      "SCDDATE", "SCDTIME", "RUNPTY"},
     1,
     {}},
    {"CRTSAVF", {"FILE", "TEXT", "MAXRCDS", "ASP", "WAITFILE", "SHARE", "AUT"}, 1, {"FILE"}},
    {"CLRSAVF", {"FILE"}, 1, {"FILE"}},
    {"CRTPF",
     {"FILE", "SRCFILE", "SRCMBR", "RCDLEN", "GENLVL", "FLAG", "FILETYPE", "MBR", "SYSTEM", "EXPDATE", "MAXMBRS",
      "ACCPTHSIZ", "PAGESIZE", "MAINT", "RECOV", "FRCACCPTH", "SIZE", "ALLOCATE", "CONTIG", "UNIT", "FRCRATIO",
      "WAITFILE", "WAITRCD", "SHARE", "DLTPCT", "REUSEDLT", "SRTSEQ", "LANGID", "CCSID", "ALWUPD", "ALWDLT", "LVLCHK",
      "NODGRP", "PTNKEY", "TEXT", "OPTION", "AUT"},
     3,
     {"FILE"}},
    {"OVRPRTF",
     {"FILE", "TOFILE", "DEV", "DEVTYPE", "PAGESIZE", "LPI", "CPI", "FRONTMGN", "BACKMGN", "OVRFLW", "FOLD",
      "RPLUNPRT", "ALIGN", "CTLCHAR", "CHLVAL", "PRTQLTY", "FORMFEED", "DRAWER", "OUTBIN", "FONT", "CHRID",
      "DECFMT", "FNTCHRSET", "CDEFNT", "PAGDFN", "FORMDF", "AFPCHARS", "TBLREFCHR", "PAGRTT", "MULTIUP", "REDUCE",
      "PRTTXT", "JUSTIFY", "DUPLEX", "UOM", "FIDELITY", "SPLFNAME", "OUTQ", "FORMTYPE", "COPIES", "PAGERANGE",
      "MAXRCDS", "FILESEP", "SCHEDULE", "HOLD", "SAVE", "OUTPTY", "USRDTA", "SPLFOWN", "USRDFNOPT", "USRDFNDTA",
      "USRDFNOBJ", "SPOOL", "WAITFILE", "LVLCHK", "SECURE", "OVRSCOPE", "SHARE", "OPNSCOPE"},
     2,
     {"FILE"}},
    {"CLRPFM", {"FILE", "MBR"}, 2, {"FILE"}},
    {"SAVLIB",
     {"LIB", "DEV", "VOL", "SEQNBR", "LABEL", "EXPDATE", "ENDOPT", "USEOPTBLK", "SAVF", "MEDDFN", "OPTFILE",
      "TGTRLS", "UPDHST", "PRECHK", "SAVACT", "SAVACTWAIT", "SAVACTMSGQ", "SAVACTOPT", "ACCPTH", "SAVFDTA",
      "SPLFDTA", "QDTA", "PVTAUT", "STG", "DTACPR", "COMPACT", "OMITLIB", "OMITOBJ", "ASPDEV", "OUTPUT", "OUTFILE",
      "OUTMBR", "INFTYPE", "CLEAR", "SELECT"},
     2,
     {"LIB", "DEV"}},
    {"SAVOBJ",
     {"OBJ", "LIB", "DEV", "OBJTYPE", "VOL", "SEQNBR", "LABEL", "EXPDATE", "ENDOPT", "USEOPTBLK", "SAVF", "MEDDFN",
      "OPTFILE", "TGTRLS", "UPDHST", "PRECHK", "SAVACT", "SAVACTWAIT", "SAVACTMSGQ", "SAVACTOPT", "FILEMBR",
      "ACCPTH", "SAVFDTA", "SPLFDTA", "QDTA", "PVTAUT", "STG", "DTACPR", "COMPACT", "OMITLIB", "OMITOBJ", "ASPDEV",
      "OUTPUT", "OUTFILE", "OUTMBR", "INFTYPE", "CLEAR", "SELECT"},
     3,
     {"OBJ", "LIB", "DEV"}},
    {"RSTLIB",
     {"SAVLIB", "DEV", "VOL", "SEQNBR", "LABEL", "ENDOPT", "OPTION", "MBROPT", "ALWOBJDIF", "SAVF", "OMITLIB",
      "OMITOBJ", "RSTLIB", "RSTASP", "RSTASPDEV", "SAVASPDEV", "OUTPUT", "OUTFILE", "OUTMBR", "INFTYPE", "DFRID",
      "FRCOBJCVN", "PVTAUT", "STG", "SELECT", "OPTFILE", "MEDDFN"},
     2,
     {"SAVLIB", "DEV"}},
    {"RSTOBJ",
     {"OBJ", "SAVLIB", "DEV", "OBJTYPE", "VOL", "SEQNBR", "LABEL", "ENDOPT", "SAVF", "MBROPT", "ALWOBJDIF",
      "RSTLIB", "RSTASP", "RSTASPDEV", "SAVASPDEV", "OPTION", "FILEMBR", "OUTPUT", "OUTFILE", "OUTMBR", "INFTYPE",
      "OMITOBJ", "DFRID", "FRCOBJCVN", "PVTAUT", "STG", "SELECT", "OPTFILE", "MEDDFN"},
     3,
     {"OBJ", "SAVLIB", "DEV"}},
    {"CRTLIB", {"LIB", "TYPE", "ASP", "ASPDEV", "TEXT", "AUT", "CRTAUT", "CRTOBJAUD"}, 2, {"LIB"}},
    {"DSPJOBLOG", {"JOB", "OUTPUT", "MSGF", "OUTFILE", "OUTMBR", "OUTFILFMT"}, 2, {}},
    {"CPYSPLF",
     {"FILE", "TOFILE", "JOB", "SPLNBR", "JOBSYSNAME", "CRTDATE", "TOMBR", "MBROPT", "CTLCHAR", "CHLVAL"},
     2,
     {"FILE", "TOFILE"}},
    {"DLTSPLF", {"FILE", "JOB", "SPLNBR", "JOBSYSNAME", "CRTDATE", "SELECT", "ASPDEV"}, 1, {"FILE"}},
    {"CALL", {"PGM", "PARM"}, 2, {"PGM"}},
    {"DLTF", {"FILE", "SYSTEM", "RMVCST"}, 1, {"FILE"}},
};

const CommandDef *findCommand(const std::string &name)
{
    for (const auto &def : kCommands)
        if (name == def.name)
            return &def;
    return nullptr;
}

std::string nowStamp()
{
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%d%H%M%S", &tm);
    return buf;
}

bool matchesGeneric(const std::string &pattern, const std::string &name)
{
    if (pattern == "*ALL")
        return true;
    if (!pattern.empty() && pattern.back() == '*')
        return name.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
    return pattern == name;
}

std::string param(const std::map<std::string, std::string> &p, const std::string &key,
                  const std::string &dflt = {})
{
    const auto it = p.find(key);
    return it == p.end() ? dflt : it->second;
}

bool oneOf(const std::string &value, std::initializer_list<const char *> allowed)
{
    for (const char *a : allowed)
        if (value == a)
            return true;
    return false;
}

std::string attributeOf(const ObjectEntry &obj)
{
    if (obj.type != "FILE")
        return {};
    switch (HostStore::fileKind(obj.path)) {
    case FileKind::SaveFile: return "SAVF";
    case FileKind::Physical: return "PF";
    case FileKind::None: break;
    }
    return {};
}

} // namespace

std::shared_ptr<FailPattern> FailPattern::compile(const std::string &pattern)
{
    std::shared_ptr<FailPattern> p(new FailPattern);
    if (::regcomp(&p->re_, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0) {
        p.reset();
        return nullptr;
    }
    return p;
}

FailPattern::~FailPattern() { ::regfree(&re_); }

bool FailPattern::matches(const std::string &text) const { return ::regexec(&re_, text.c_str(), 0, nullptr, 0) == 0; }

const std::vector<std::string> &knownReleases()
{
    static const std::vector<std::string> releases{"V5R4M0", "V6R1M0", "V7R1M0", "V7R2M0",
                                                   "V7R3M0", "V7R4M0", "V7R5M0", "V7R6M0"};
    return releases;
}

HostJob::HostJob(HostStore &store, const HostConfig &config, int jobNumber, const std::string &namePrefix)
    : store_(store), config_(config)
{
    char name[16];
    std::snprintf(name, sizeof name, "%.5s%05d", namePrefix.c_str(), jobNumber % 100000);
    char number[16];
    std::snprintf(number, sizeof number, "%06d", jobNumber % 1000000);
    identity_ = {name, "QTCP", number, config.system, config.release};

    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/quellon-hostsim-qtemp-XXXXXX";
    if (char *dir = ::mkdtemp(pattern.data()))
        qtemp_ = dir;

    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[16], time[16];
    std::strftime(date, sizeof date, "%m/%d/%y", &tm);
    std::strftime(time, sizeof time, "%H:%M:%S", &tm);
    const std::string when = std::string(date) + " at " + time;
    JobMessage started;
    started.id = "CPF1124";
    started.fromPgm = "QWTPIIPP";
    started.text = "Job " + identity_.number + "/" + identity_.user + "/" + identity_.name + " started on " + when +
                   " in subsystem QSYSWRK in QSYS. Job entered system on " + when + ".";
    log_.add(std::move(started));
}

HostJob::~HostJob()
{
    if (!qtemp_.empty()) {
        std::error_code ec;
        fs::remove_all(qtemp_, ec);
    }
}

std::optional<fs::path> HostJob::libraryDir(const std::string &name) const
{
    if (name == "QTEMP") {
        if (qtemp_.empty())
            return std::nullopt;
        return qtemp_;
    }
    return store_.findLibrary(name);
}

void HostJob::message(const std::string &id, MsgType type, int severity, const std::string &text,
                      const std::string &cause, const std::string &recovery)
{
    JobMessage m;
    m.id = id;
    m.type = type;
    m.severity = severity;
    m.text = text;
    m.cause = cause;
    m.recovery = recovery;
    log_.add(std::move(m));
}

void HostJob::escape(const std::string &id, const std::string &text, const std::string &cause,
                     const std::string &recovery)
{
    message(id, MsgType::Escape, 40, text, cause, recovery);
    throw Failure{text};
}

void HostJob::commandError(const std::string &command, const std::string &diagId, const std::string &diagText)
{
    message(diagId, MsgType::Diagnostic, 30, diagText);
    escape("CPF0001", "Error found on " + command + " command.",
           "The system detected errors in the command.",
           "See the previously listed messages, correct the errors, and then enter the command again.");
}

CommandResult HostJob::run(const std::string &text)
{
    JobMessage request;
    request.id = "*NONE";
    request.type = MsgType::Request;
    request.fromPgm = "QTMFSRVR";
    request.fromLib = "QTCP";
    request.text = text;
    log_.add(std::move(request));

    std::lock_guard<std::mutex> lock(store_.mutex());
    try {
        for (const auto &pattern : config_.failPatterns) {
            if (pattern->matches(text)) {
                if (pattern->messageId != "CPF9899")
                    escape(pattern->messageId, pattern->messageText);
                escape("CPF9899", "Error occurred during processing of command.",
                       "An error occurred while processing the command.",
                       "See the previously listed messages in the job log. Correct the errors and then try the "
                       "request again.");
            }
        }
        ClSyntaxError syntax;
        const auto cmd = parseCl(text, &syntax);
        if (!cmd) {
            message(syntax.msgId, MsgType::Diagnostic, 30, syntax.text);
            escape("CPF0006", "Errors occurred in command.");
        }
        const CommandDef *def = findCommand(cmd->name);
        if (!def || (!cmd->library.empty() && cmd->library != "QSYS" && cmd->library != "*LIBL")) {
            message("CPD0030", MsgType::Diagnostic, 30,
                    "Command " + cmd->name + " in library " + (cmd->library.empty() ? "*LIBL" : cmd->library) +
                        " not found.");
            escape("CPF0006", "Errors occurred in command.");
        }
        Params params;
        size_t positional = 0;
        for (const auto &prm : cmd->params) {
            std::string key = prm.keyword;
            if (key.empty()) {
                if (positional >= def->positional)
                    commandError(cmd->name, "CPD0071",
                                 "Number of positional parameters exceeds limit of " +
                                     std::to_string(def->positional) + ".");
                key = def->params[positional++];
            } else if (std::find_if(def->params.begin(), def->params.end(),
                                    [&](const char *k) { return key == k; }) == def->params.end()) {
                commandError(cmd->name, "CPD0043", "Keyword " + key + " not valid for this command.");
            }
            if (params.count(key))
                commandError(cmd->name, "CPD0044", "Keyword " + key + " appears more than once.");
            params[key] = prm.value;
        }
        for (const char *req : def->required)
            if (!params.count(req) || params[req].empty())
                commandError(cmd->name, "CPD0072", std::string("Parameter ") + req + " required.");
        dispatch(cmd->name, params);
    } catch (const Failure &f) {
        return {false, f.text};
    }
    return {true, {}};
}

void HostJob::dispatch(const std::string &name, const Params &p)
{
    if (name == "CHGJOB") chgjob(p);
    else if (name == "CRTSAVF") crtsavf(p);
    else if (name == "CRTPF") crtpf(p);
    else if (name == "OVRPRTF") ovrprtf(p);
    else if (name == "CLRSAVF") clrsavf(p);
    else if (name == "CLRPFM") clrpfm(p);
    else if (name == "SAVLIB" || name == "SAVOBJ") save(name, p);
    else if (name == "RSTLIB" || name == "RSTOBJ") restore(name, p);
    else if (name == "CRTLIB") crtlib(p);
    else if (name == "DSPJOBLOG") dspjoblog(p);
    else if (name == "CPYSPLF") cpysplf(p);
    else if (name == "DLTSPLF") dltsplf(p);
    else if (name == "CALL") call(p);
    else if (name == "DLTF") dltf(p);
}

// *LIBL and *CURLIB: new objects go to the current library QGPL; lookups
// search QTEMP, then QGPL, as the FTP server job's library list does.
std::string HostJob::resolveLibrary(const std::string &spec, bool forCreate) const
{
    if (spec == "*CURLIB")
        return "QGPL";
    if (spec == "*LIBL")
        return forCreate ? "QGPL" : "*LIBL";
    return spec;
}

QualifiedName HostJob::qualifiedParam(const std::string &command, const Params &p, const std::string &key)
{
    const std::string value = param(p, key);
    QualifiedName q = clQualified(value, "*LIBL");
    if (!isValidName(q.object) || (q.library != "*LIBL" && q.library != "*CURLIB" && !isValidName(q.library)))
        commandError(command, "CPD0084", "Value '" + value + "' for parameter " + key + " not valid.");
    return q;
}

fs::path HostJob::requireLibrary(const std::string &name)
{
    const auto dir = libraryDir(name);
    if (!dir)
        escape("CPF9810", "Library " + name + " not found.");
    return *dir;
}

// Finds a *FILE along the library list; returns its path and sets the
// library actually used into `lib`.
static std::optional<fs::path> findFileObject(const HostJob &job, std::string &lib, const std::string &name)
{
    std::vector<std::string> search;
    if (lib == "*LIBL")
        search = {"QTEMP", "QGPL"};
    else
        search = {lib};
    for (const auto &l : search) {
        if (const auto dir = job.libraryDir(l)) {
            if (const auto obj = HostStore::findObject(*dir, name, "FILE")) {
                lib = l;
                return obj;
            }
        }
    }
    return std::nullopt;
}

fs::path HostJob::findSaveFile(const std::string &command, const Params &p, QualifiedName *name)
{
    if (!p.count("SAVF"))
        commandError(command, "CPD0072", "Parameter SAVF required.");
    QualifiedName q = qualifiedParam(command, p, "SAVF");
    q.library = resolveLibrary(q.library, false);
    const auto file = findFileObject(*this, q.library, q.object);
    if (!file)
        escape("CPF9812", "File " + q.object + " in library " + q.library + " not found.");
    if (HostStore::fileKind(*file) != FileKind::SaveFile)
        escape("CPF3782", "File " + q.object + " in " + q.library + " not a save file.");
    if (name)
        *name = q;
    return *file;
}

void HostJob::chgjob(const Params &p)
{
    const std::string job = param(p, "JOB", "*");
    if (job != "*")
        escape("CPF1321", "Job " + job + " not found.");
    if (p.count("LOG")) {
        const auto e = clElements(clUnwrap(param(p, "LOG")));
        if (e.size() != 3 || !oneOf(e[0], {"0", "1", "2", "3", "4", "*SAME"}) ||
            !oneOf(e[2], {"*MSG", "*SECLVL", "*NOLIST", "*SAME"}))
            commandError("CHGJOB", "CPD0084", "Value '" + param(p, "LOG") + "' for parameter LOG not valid.");
        if (e[2] != "*SAME")
            secondLevel_ = e[2] == "*SECLVL";
    }
    if (p.count("LOGCLPGM") && !oneOf(param(p, "LOGCLPGM"), {"*YES", "*NO", "*SAME"}))
        commandError("CHGJOB", "CPD0084", "Value '" + param(p, "LOGCLPGM") + "' for parameter LOGCLPGM not valid.");
}

void HostJob::crtsavf(const Params &p)
{
    QualifiedName q = qualifiedParam("CRTSAVF", p, "FILE");
    q.library = resolveLibrary(q.library, true);
    const auto dir = libraryDir(q.library);
    if (!dir) {
        message("CPF9810", MsgType::Diagnostic, 40, "Library " + q.library + " not found.");
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    }
    if (HostStore::findObject(*dir, q.object, "FILE")) {
        message("CPF5813", MsgType::Diagnostic, 40,
                "File " + q.object + " in library " + q.library + " already exists.");
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    }
    // The public's authority: the library's CRTAUT by default, which for
    // IBM's libraries is QCRTAUT, shipped as *CHANGE.
    std::string aut = p.count("AUT") ? param(p, "AUT") : "*LIBCRTAUT";
    if (!oneOf(aut, {"*LIBCRTAUT", "*CHANGE", "*ALL", "*USE", "*EXCLUDE"}))
        commandError("CRTSAVF", "CPD0084", "Value '" + aut + "' for parameter AUT not valid.");
    if (!HostStore::writeFileAtomic(*dir / (q.object + ".FILE"), {}) ||
        !HostStore::setPublicAuthority(*dir / (q.object + ".FILE"), aut))
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    message("CPC7301", MsgType::Completion, 0, "File " + q.object + " created in library " + q.library + ".");
}

void HostJob::crtpf(const Params &p)
{
    QualifiedName q = qualifiedParam("CRTPF", p, "FILE");
    q.library = resolveLibrary(q.library, true);
    const std::string rcdlen = param(p, "RCDLEN");
    long len = 0;
    if (!rcdlen.empty()) {
        char *end = nullptr;
        len = std::strtol(rcdlen.c_str(), &end, 10);
        if (*end || len < 1 || len > 32766)
            commandError("CRTPF", "CPD0084", "Value '" + rcdlen + "' for parameter RCDLEN not valid.");
    }
    const auto dir = libraryDir(q.library);
    if (!dir) {
        message("CPF9810", MsgType::Diagnostic, 40, "Library " + q.library + " not found.");
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    }
    if (rcdlen.empty()) {
        // Without a record length the file would be described by DDS source.
        message("CPF9812", MsgType::Diagnostic, 40, "File QDDSSRC in library *LIBL not found.");
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    }
    if (HostStore::findObject(*dir, q.object, "FILE")) {
        message("CPF5813", MsgType::Diagnostic, 40,
                "File " + q.object + " in library " + q.library + " already exists.");
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    }
    if (!HostStore::writeFileAtomic(*dir / (q.object + ".FILE"), HostStore::pfHeader(static_cast<size_t>(len))))
        escape("CPF7302", "File " + q.object + " not created in library " + q.library + ".");
    message("CPC7301", MsgType::Completion, 0, "File " + q.object + " created in library " + q.library + ".");
}

void HostJob::ovrprtf(const Params &p)
{
    const std::string file = param(p, "FILE");
    if (!isValidName(file))
        commandError("OVRPRTF", "CPD0084", "Value '" + file + "' for parameter FILE not valid.");
    printOverrides_[file] = param(p, "HOLD", "*NO");
}

void HostJob::clrsavf(const Params &p)
{
    QualifiedName q = qualifiedParam("CLRSAVF", p, "FILE");
    q.library = resolveLibrary(q.library, false);
    const auto file = findFileObject(*this, q.library, q.object);
    if (!file)
        escape("CPF9812", "File " + q.object + " in library " + q.library + " not found.");
    if (HostStore::fileKind(*file) != FileKind::SaveFile)
        escape("CPF3782", "File " + q.object + " in " + q.library + " not a save file.");
    if (!HostStore::writeFileAtomic(*file, {}))
        escape("CPF9899", "Error occurred during processing of command.");
}

void HostJob::clrpfm(const Params &p)
{
    QualifiedName q = qualifiedParam("CLRPFM", p, "FILE");
    q.library = resolveLibrary(q.library, false);
    const auto file = findFileObject(*this, q.library, q.object);
    if (!file)
        escape("CPF3142", "File " + q.object + " in library " + q.library + " not found.");
    const size_t len = HostStore::pfRecordLength(*file);
    if (len == 0)
        escape("CPF3102", "File " + q.object + " in " + q.library + " not a database file.");
    const std::string mbr = param(p, "MBR", "*FIRST");
    if (mbr != "*FIRST" && mbr != "*LAST" && mbr != q.object)
        escape("CPF3141", "Member " + mbr + " not found.");
    if (!HostStore::writeFileAtomic(*file, HostStore::pfHeader(len)))
        escape("CPF9899", "Error occurred during processing of command.");
    message("CPC3101", MsgType::Completion, 0,
            "Member " + q.object + " file " + q.object + " in " + q.library + " cleared.");
}

std::string HostJob::tgtrls(const std::string &command, const std::string &value)
{
    // A host saves for its own release and the two releases before it.
    const std::string v = value.empty() ? "*CURRENT" : value;
    const auto &known = knownReleases();
    const auto current = std::find(known.begin(), known.end(), config_.release);
    if (v == "*CURRENT")
        return config_.release;
    if (v == "*PRV")
        return current != known.end() && current != known.begin() ? *(current - 1) : config_.release;
    if (v.size() == 6 && v[0] == 'V' && v[2] == 'R' && v[4] == 'M' && std::isdigit(static_cast<unsigned char>(v[1])) &&
        std::isdigit(static_cast<unsigned char>(v[3])) && std::isdigit(static_cast<unsigned char>(v[5]))) {
        const auto it = std::find(known.begin(), known.end(), v);
        if (it != known.end() && current != known.end() && it <= current && current - it <= 2)
            return v;
        commandError(command, "CPD37B4", "Release " + v + " not valid for parameter TGTRLS.");
    }
    commandError(command, "CPD0084", "Value '" + v + "' for parameter TGTRLS not valid.");
}

void HostJob::save(const std::string &command, const Params &p)
{
    const std::string libValue = param(p, "LIB");
    if (!isValidName(libValue) || libValue == "QTEMP")
        commandError(command, "CPD0084", "Value '" + libValue + "' for parameter LIB not valid.");
    const std::string dev = param(p, "DEV");
    const std::string release = tgtrls(command, param(p, "TGTRLS"));
    if (p.count("SAVACT") && !oneOf(clElements(param(p, "SAVACT")).front(), {"*NO", "*LIB", "*SYNCLIB", "*SYSDFN"}))
        commandError(command, "CPD0084", "Value '" + param(p, "SAVACT") + "' for parameter SAVACT not valid.");
    if (p.count("DTACPR") && !oneOf(param(p, "DTACPR"), {"*DEV", "*NO", "*YES", "*LOW", "*MEDIUM", "*HIGH"}))
        commandError(command, "CPD0084", "Value '" + param(p, "DTACPR") + "' for parameter DTACPR not valid.");
    const std::string clear = param(p, "CLEAR", "*NONE");
    if (!oneOf(clear, {"*NONE", "*ALL", "*AFTER", "*REPLACE"}))
        commandError(command, "CPD0084", "Value '" + clear + "' for parameter CLEAR not valid.");

    std::vector<std::string> objPatterns{"*ALL"};
    std::vector<std::string> types{"*ALL"};
    if (command == "SAVOBJ") {
        objPatterns = clElements(clUnwrap(param(p, "OBJ")));
        for (const auto &o : objPatterns)
            if (o != "*ALL" && !isValidGenericName(o))
                commandError(command, "CPD0084", "Value '" + o + "' for parameter OBJ not valid.");
        types = clElements(clUnwrap(param(p, "OBJTYPE", "*ALL")));
        for (const auto &t : types)
            if (t != "*ALL" && (t.size() < 2 || t[0] != '*' || !HostStore::isKnownType(t.substr(1))))
                commandError(command, "CPD0084", "Value '" + t + "' for parameter OBJTYPE not valid.");
    }
    if (dev != "*SAVF")
        escape("CPF9814", "Device " + dev + " not found.");
    QualifiedName savfName;
    const fs::path savf = findSaveFile(command, p, &savfName);
    const auto libDir = store_.findLibrary(libValue);
    if (!libDir)
        escape("CPF3781", "Library " + libValue + " not found.");

    std::error_code ec;
    if (fs::file_size(savf, ec) > 0 && clear == "*NONE") {
        // A batch job answers the inquiry with its default reply, C.
        message("CPA4067", MsgType::Inquiry, 99,
                "Save file " + savfName.object + " in " + savfName.library + " contains data. (C G)");
        message("", MsgType::Reply, 0, "C");
        escape("CPF3794", "Save or restore operation ended unsuccessfully.");
    }

    std::vector<ObjectSource> sources;
    for (const auto &obj : HostStore::objects(*libDir)) {
        if (fs::equivalent(obj.path, savf, ec))
            continue; // the target save file itself
        const bool nameOk = std::any_of(objPatterns.begin(), objPatterns.end(),
                                        [&](const std::string &pat) { return matchesGeneric(pat, obj.name); });
        const bool typeOk = std::any_of(types.begin(), types.end(),
                                        [&](const std::string &t) { return t == "*ALL" || t == "*" + obj.type; });
        if (nameOk && typeOk)
            sources.push_back({obj.name, "*" + obj.type, attributeOf(obj), obj.path});
    }
    if (command == "SAVOBJ" && sources.empty())
        escape("CPF3770", "No objects saved or restored for library " + libValue + ".");

    SaveFileInfo info;
    info.library = libValue;
    info.command = command;
    info.release = release;
    info.savedAt = nowStamp();
    info.system = config_.system;
    std::string error;
    if (!writeSaveFile(savf, info, sources, &error))
        escape("CPF3794", "Save or restore operation ended unsuccessfully.", error);
    message("CPC3722", MsgType::Completion, 0,
            std::to_string(sources.size()) + " objects saved from library " + libValue + ".");
}

void HostJob::restore(const std::string &command, const Params &p)
{
    const std::string savlib = param(p, "SAVLIB");
    if (!isValidName(savlib))
        commandError(command, "CPD0084", "Value '" + savlib + "' for parameter SAVLIB not valid.");
    std::string target = param(p, "RSTLIB", "*SAVLIB");
    if (target == "*SAVLIB")
        target = savlib;
    if (!isValidName(target))
        commandError(command, "CPD0084", "Value '" + target + "' for parameter RSTLIB not valid.");
    const std::string asp = param(p, "RSTASP", "*SAVASP");
    if (asp != "*SAVASP") {
        char *end = nullptr;
        const long n = std::strtol(asp.c_str(), &end, 10);
        if (*end || n < 1 || n > 255)
            commandError(command, "CPD0084", "Value '" + asp + "' for parameter RSTASP not valid.");
    }
    std::vector<std::string> objPatterns{"*ALL"};
    std::vector<std::string> types{"*ALL"};
    if (command == "RSTOBJ") {
        objPatterns = clElements(clUnwrap(param(p, "OBJ")));
        for (const auto &o : objPatterns)
            if (o != "*ALL" && !isValidGenericName(o))
                commandError(command, "CPD0084", "Value '" + o + "' for parameter OBJ not valid.");
        types = clElements(clUnwrap(param(p, "OBJTYPE", "*ALL")));
    }
    const std::string dev = param(p, "DEV");
    if (dev != "*SAVF")
        escape("CPF9814", "Device " + dev + " not found.");
    QualifiedName savfName;
    const fs::path savf = findSaveFile(command, p, &savfName);
    std::error_code ec;
    if (fs::file_size(savf, ec) == 0)
        escape("CPF3707", "Save file " + savfName.object + " in " + savfName.library + " contains no data.");
    std::string reason;
    const auto info = readSaveFile(savf, &reason);
    if (!info)
        escape("CPF3743", "File cannot be restored, displayed, or listed.",
               "The save file cannot be used: " + reason + ".",
               "Transfer the save file again in binary (TYPE I) and try the request again.");
    if (info->library != savlib)
        escape("CPF3780", "Specified file for library " + savlib + " not found.",
               "The save file holds library " + info->library + ".");

    std::optional<fs::path> dir = libraryDir(target);
    if (!dir) {
        if (command == "RSTOBJ")
            escape("CPF3781", "Library " + target + " not found.");
        dir = store_.createLibrary(target);
    }
    size_t restored = 0, failed = 0, matched = 0;
    for (const auto &obj : info->objects) {
        const bool nameOk = std::any_of(objPatterns.begin(), objPatterns.end(),
                                        [&](const std::string &pat) { return matchesGeneric(pat, obj.name); });
        const bool typeOk = std::any_of(types.begin(), types.end(),
                                        [&](const std::string &t) { return t == "*ALL" || t == obj.type; });
        if (!nameOk || !typeOk)
            continue;
        ++matched;
        const std::string type = obj.type.size() > 1 ? obj.type.substr(1) : std::string();
        std::string error;
        if (!isValidName(obj.name) || obj.type[0] != '*' || !HostStore::isKnownType(type) ||
            !extractObject(savf, obj, *dir / (obj.name + "." + type), &error)) {
            message("CPF3756", MsgType::Diagnostic, 40,
                    obj.type + " " + obj.name + " not restored to library " + target + ".", error);
            ++failed;
            continue;
        }
        ++restored;
    }
    if (matched == 0 && command == "RSTOBJ")
        escape("CPF3770", "No objects saved or restored for library " + savlib + ".");
    if (failed > 0)
        escape("CPF3773", std::to_string(restored) + " objects restored. " + std::to_string(failed) +
                              " objects not restored to " + target + ".");
    message("CPC3703", MsgType::Completion, 0,
            std::to_string(restored) + " objects restored from " + savlib + " to " + target + ".");
}

void HostJob::crtlib(const Params &p)
{
    const std::string lib = param(p, "LIB");
    if (!isValidName(lib))
        commandError("CRTLIB", "CPD0084", "Value '" + lib + "' for parameter LIB not valid.");
    if (libraryDir(lib))
        escape("CPF2111", "Library " + lib + " already exists.");
    store_.createLibrary(lib);
    message("CPC2102", MsgType::Completion, 0, "Library " + lib + " created.");
}

void HostJob::dltf(const Params &p)
{
    QualifiedName q = qualifiedParam("DLTF", p, "FILE");
    q.library = resolveLibrary(q.library, false);
    const auto file = findFileObject(*this, q.library, q.object);
    if (!file)
        escape("CPF2105", "Object " + q.object + " in " + q.library + " type *FILE not found.");
    std::error_code ec;
    if (!fs::remove(*file, ec) || ec)
        escape("CPF2117", "1 objects type *FILE not deleted. 0 objects deleted.");
    message("CPC2191", MsgType::Completion, 0, "Object " + q.object + " in " + q.library + " type *FILE deleted.");
}

void HostJob::dspjoblog(const Params &p)
{
    const std::string job = param(p, "JOB", "*");
    if (job != "*")
        escape("CPF1070", "Job " + job + " not found.");
    const std::string output = param(p, "OUTPUT", "*");
    if (!oneOf(output, {"*", "*PRINT", "*APIDFN"}))
        commandError("DSPJOBLOG", "CPD0084", "Value '" + output + "' for parameter OUTPUT not valid.");
    // A batch job has no display: the log goes to the printer file QPJOBLOG.
    spooled_.push_back({"QPJOBLOG", nextSpoolNumber_++, log_.print(identity_, secondLevel_)});
}

SpooledFile *HostJob::findSpool(const std::string &file, const std::string &number)
{
    std::vector<SpooledFile *> matches;
    for (auto &s : spooled_)
        if (s.name == file)
            matches.push_back(&s);
    if (matches.empty())
        return nullptr;
    if (number == "*LAST")
        return matches.back();
    if (number == "*ONLY")
        return matches.size() == 1 ? matches.front() : nullptr;
    for (auto *s : matches)
        if (std::to_string(s->number) == number)
            return s;
    return nullptr;
}

void HostJob::cpysplf(const Params &p)
{
    const std::string file = param(p, "FILE");
    const std::string job = param(p, "JOB", "*");
    if (job != "*")
        escape("CPF3303", "File " + file + " not found in job " + job + ".");
    SpooledFile *spool = findSpool(file, param(p, "SPLNBR", "*ONLY"));
    if (!spool)
        escape("CPF3303", "File " + file + " not found in job " + identity_.number + "/" + identity_.user + "/" +
                              identity_.name + ".");
    QualifiedName q = qualifiedParam("CPYSPLF", p, "TOFILE");
    q.library = resolveLibrary(q.library, false);
    const auto target = findFileObject(*this, q.library, q.object);
    if (!target)
        escape("CPF9812", "File " + q.object + " in library " + q.library + " not found.");
    const size_t len = HostStore::pfRecordLength(*target);
    if (len == 0)
        escape("CPF3102", "File " + q.object + " in " + q.library + " not a database file.");
    const std::string mbropt = param(p, "MBROPT", "*REPLACE");
    if (!oneOf(mbropt, {"*REPLACE", "*ADD"}))
        commandError("CPYSPLF", "CPD0084", "Value '" + mbropt + "' for parameter MBROPT not valid.");
    std::string bytes;
    if (mbropt == "*ADD") {
        std::ifstream in(*target, std::ios::binary);
        bytes.assign(std::istreambuf_iterator<char>(in), {});
    } else {
        bytes = HostStore::pfHeader(len);
    }
    for (const auto &line : spool->lines) {
        std::string record = toEbcdic(line);
        record.resize(len, '\x40');
        bytes += record;
    }
    if (!HostStore::writeFileAtomic(*target, bytes))
        escape("CPF9899", "Error occurred during processing of command.");
}

void HostJob::dltsplf(const Params &p)
{
    const std::string file = param(p, "FILE");
    SpooledFile *spool = findSpool(file, param(p, "SPLNBR", "*ONLY"));
    if (!spool)
        escape("CPF3303", "File " + file + " not found in job " + identity_.number + "/" + identity_.user + "/" +
                              identity_.name + ".");
    const int number = spool->number;
    spooled_.erase(std::remove_if(spooled_.begin(), spooled_.end(),
                                  [&](const SpooledFile &s) { return s.name == file && s.number == number; }),
                   spooled_.end());
}

void HostJob::call(const Params &p)
{
    QualifiedName q = qualifiedParam("CALL", p, "PGM");
    q.library = resolveLibrary(q.library, false);
    std::vector<std::string> search = q.library == "*LIBL" ? std::vector<std::string>{"QTEMP", "QGPL"}
                                                           : std::vector<std::string>{q.library};
    for (const auto &l : search)
        if (const auto dir = libraryDir(l); dir && HostStore::findObject(*dir, q.object, "PGM"))
            return; // the emulator has nothing to run; the call is in the job log
    commandError("CALL", "CPD0170", "Program " + q.object + " in library " + q.library + " not found.");
}

} // namespace hostsim
