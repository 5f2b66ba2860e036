#include "foundation/logger.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/config.h"
#include "foundation/strutil.h"

const char *const QLTP_LOGGER_LEVEL_NAMES[6] = {"DEBUG", "INFO", "WARN", "ERROR", "CRITICAL", "NONE"};

const char *const QLTP_ERROR_INFO_NAME[QLTP_ERROR_CODE_COUNT] = {
    "Attempted set of unknown error type",
    "Expat parse error",
    "Channel reset caused data loss",
    "XML/Text switch with no flush signal",
    "Failed to open text processing database for reading",
    "Failed to open text processing database for writing",
    "Warnings when opening text processing database for reading",
    "Endianess of database and system differ",
    "Database object is not valid",
    "Critical write error",
    "Configuration file error",
    "Message",
    "Missing file",
    "Corrupt or incorrently formatted input file",
    "File/dir already exists",
    "Message",
    "Log file missing",
    "Message",
    "Message",
    "Message",
};

const int QLTP_ERROR_INFO_LEVEL[QLTP_ERROR_CODE_COUNT] = {
    QLTP_LOGGER_WARN,     QLTP_LOGGER_CRITICAL, QLTP_LOGGER_WARN,  QLTP_LOGGER_ERROR,
    QLTP_LOGGER_CRITICAL, QLTP_LOGGER_CRITICAL, QLTP_LOGGER_WARN,  QLTP_LOGGER_WARN,
    QLTP_LOGGER_WARN,     QLTP_LOGGER_CRITICAL, QLTP_LOGGER_WARN,  QLTP_LOGGER_INFO,
    QLTP_LOGGER_WARN,     QLTP_LOGGER_ERROR,    QLTP_LOGGER_WARN,  QLTP_LOGGER_WARN,
    QLTP_LOGGER_WARN,     QLTP_LOGGER_CRITICAL, QLTP_LOGGER_ERROR, QLTP_LOGGER_DEBUG,
};

struct logger {
    std::string name;
    std::string module;  // a copy: callers may pass short-lived buffers
    bool has_module = false;
    int errors = 0;
    int warnings = 0;
    int messages = 0;
    std::vector<int> levels;
    std::vector<std::string> lines;
    int threshold = QLTP_LOGGER_DEBUG;
    bool on = false;
    bool store = false;
    bool tofile = false;
    bool to_stdout = false;
    bool to_stderr = false;
    bool moduleoutput = false;
    bool moduleclear = false;
    std::string logdir;  // empty: no log directory, no files
    std::string path;
    std::string line;
};

namespace {

constexpr std::string_view kPreDef = "PRE_DEF";

int clamp_threshold(int level) {
    if (level < QLTP_LOGGER_DEBUG) return QLTP_LOGGER_DEBUG;
    if (level > QLTP_LOGGER_NONE) return QLTP_LOGGER_NONE;
    return level;
}

// An unknown level above NONE is taken as CRITICAL, so it is never filtered
// out or counted as nothing; below DEBUG as DEBUG.
int clamp_event_level(int level) {
    if (level < QLTP_LOGGER_DEBUG) return QLTP_LOGGER_DEBUG;
    if (level > QLTP_LOGGER_NONE) return QLTP_LOGGER_CRITICAL;
    return level;
}

std::string_view text_or_empty(const char *s) { return s ? std::string_view(s) : std::string_view(); }

// Local time as the 24-character calendar text ("Tue Dec  8 08:18:56 2026") with
// blanks turned into '_'. Built by hand: the names must not follow the locale.
std::string time_stamp() {
    static const char *const days[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    if (localtime_r(&now, &tm) == nullptr) tm = std::tm{};
    int wday = (tm.tm_wday >= 0 && tm.tm_wday < 7) ? tm.tm_wday : 0;
    int mon = (tm.tm_mon >= 0 && tm.tm_mon < 12) ? tm.tm_mon : 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s_%.3s_%2d_%.2d:%.2d:%.2d_%d", days[wday], months[mon],
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    for (char *p = buf; *p; ++p)
        if (*p == ' ') *p = '_';
    return buf;
}

bool write_all(std::FILE *f, std::string_view text) {
    return text.empty() || std::fwrite(text.data(), 1, text.size(), f) == text.size();
}

// A job id or module name becomes part of a file name inside the log
// directory: a '/' in it must not lead anywhere else.
std::string file_name_part(const char *s) {
    std::string out(text_or_empty(s));
    for (char &c : out)
        if (c == '/') c = '_';
    return out;
}

void build_path(logger *lg) {
    lg->path.clear();
    if (lg->logdir.empty()) return;
    lg->path = lg->logdir;
    lg->path += '/';
    lg->path += lg->name;
    lg->path += ".log";
}

int report(logger *lg, int code, const char *message, const char *detail);

// The log file cannot be written: file output goes off, the failure is
// reported once, and the line still reaches the other outputs.
int file_failed(logger *lg) {
    lg->tofile = false;
    std::string path = lg->path;
    report(lg, QLTP_ERROR_LOG_FILE_MISSING, "Logger cannot print to file", path.c_str());
    return 0;
}

// Emits one event to every configured output. A log file that cannot be
// written is reported once and switched off; the event still reaches the
// other outputs, so nothing of level ERROR or above is ever lost.
int emit(logger *lg, int level, std::string_view module, std::string_view title,
         std::string_view message, std::string_view detail) {
    int result = 1;
    std::FILE *file = nullptr;
    if (lg->tofile && !lg->path.empty()) {
        file = std::fopen(lg->path.c_str(), "a");
        if (file == nullptr) result = file_failed(lg);
    }

    std::string &line = lg->line;
    line.clear();
    line.append(module);
    line += " [";
    line += QLTP_LOGGER_LEVEL_NAMES[level];
    line += "] ";
    line.append(title);
    line += " : ";
    line.append(message);
    if (!detail.empty()) {
        line += " : ";
        line.append(detail);
    }

    if (lg->store) {
        lg->lines.push_back(line);
        lg->levels.push_back(level);
    }

    std::string text = time_stamp();
    text += ' ';
    text += lg->name;
    text += " : ";
    text += line;
    text += '\n';

    if (lg->to_stdout) write_all(stdout, text);
    bool serious = level == QLTP_LOGGER_ERROR || level == QLTP_LOGGER_CRITICAL;
    if (lg->to_stderr || serious) write_all(stderr, text);
    if (file != nullptr) {
        bool ok = write_all(file, text);
        if (std::fclose(file) != 0) ok = false;
        if (!ok) result = file_failed(lg);
    }
    return result;
}

int count_and_emit(logger *lg, int level, std::string_view module, const char *title,
                   const char *message, const char *detail) {
    // A NONE event is counted only as a message.
    level = clamp_event_level(level);
    if (level == QLTP_LOGGER_WARN) lg->warnings++;
    if (level == QLTP_LOGGER_ERROR || level == QLTP_LOGGER_CRITICAL) lg->errors++;
    lg->messages++;
    if (!lg->on || level < lg->threshold) return 1;
    return emit(lg, level, module, text_or_empty(title), text_or_empty(message),
                text_or_empty(detail));
}

std::string_view current_module(const logger *lg) {
    return lg->has_module ? std::string_view(lg->module) : kPreDef;
}

int report(logger *lg, int code, const char *message, const char *detail) {
    if (code < 0 || code >= QLTP_ERROR_CODE_COUNT) code = QLTP_ERROR_UNKNOWN_TYPE;
    return count_and_emit(lg, QLTP_ERROR_INFO_LEVEL[code], current_module(lg),
                          QLTP_ERROR_INFO_NAME[code], message, detail);
}

bool flag_on(const configsettings *s, const char *key) {
    const char *v = QLTP_configsettings_lookup(s, "log", 3, key, -1);
    return v != nullptr && std::strncmp(v, "True", 4) == 0;
}

void configure(logger *lg, const configsettings *s) {
    lg->on = flag_on(s, "log");
    lg->store = flag_on(s, "logstore");
    lg->tofile = flag_on(s, "logtofile");
    lg->to_stdout = flag_on(s, "logstdout");
    lg->to_stderr = flag_on(s, "logstderr");
    lg->moduleclear = flag_on(s, "logmoduleclear");
    lg->moduleoutput = flag_on(s, "logmoduleoutput");
    // An empty directory would put the log file at the file-system root.
    const char *dir = QLTP_configsettings_lookup(s, "log", 3, "logdir", -1);
    if (dir != nullptr && *dir != '\0') {
        lg->logdir = dir;
        build_path(lg);
    }

    const char *level = QLTP_configsettings_lookup(s, "log", 3, "loglevel", -1);
    if (level != nullptr) {
        int found = -1;
        for (int i = QLTP_LOGGER_DEBUG; i <= QLTP_LOGGER_CRITICAL && found < 0; ++i)
            if (QLTP_strcmp_nocase(level, QLTP_LOGGER_LEVEL_NAMES[i])) found = i;
        if (found < 0 && QLTP_strcmp_nocase(level, "NONE")) found = QLTP_LOGGER_NONE;
        if (found < 0 && QLTP_strcmp_nocase(level, "ALL")) found = QLTP_LOGGER_DEBUG;
        if (found >= 0) {
            lg->threshold = found;
        } else {
            lg->threshold = QLTP_LOGGER_DEBUG;
            lg->errors++;
            lg->messages++;
            if (lg->on)
                emit(lg, QLTP_LOGGER_ERROR, "LOGGER", "log initialisation error", "Invalid log level",
                     level);
        }
    }
    lg->messages++;
    if (lg->on && lg->threshold <= QLTP_LOGGER_INFO)
        emit(lg, QLTP_LOGGER_INFO, "LOGGER", "log created", "new log has been created successfully", "");
}

}  // namespace

const char *QLTP_logger_level_name(int level) { return QLTP_LOGGER_LEVEL_NAMES[clamp_threshold(level)]; }

const char *QLTP_logger_error_name(int code) {
    if (code < 0 || code >= QLTP_ERROR_CODE_COUNT) code = QLTP_ERROR_UNKNOWN_TYPE;
    return QLTP_ERROR_INFO_NAME[code];
}

logger *QLTP_logger_new(const char *name, int len, const configsettings *settings) {
    logger *lg = new (std::nothrow) logger;
    if (lg == nullptr) return nullptr;
    try {
        if (name != nullptr) lg->name.assign(name, QLTP_strnlen(name, len));
        lg->line.reserve(80);
        if (settings == nullptr) {
            lg->on = true;
            lg->to_stderr = true;
            lg->moduleoutput = true;
            lg->moduleclear = true;
            lg->threshold = QLTP_LOGGER_DEBUG;
            lg->messages++;
            emit(lg, QLTP_LOGGER_INFO, "LOGGER", "log created",
                 "new log has been created with default values", "");
        } else {
            configure(lg, settings);
        }
        return lg;
    } catch (...) {
        delete lg;
        return nullptr;
    }
}

void QLTP_logger_delete(logger *lg) { delete lg; }

int QLTP_logger_log(logger *lg, int level, const char *module, const char *title, const char *message,
                    const char *detail) {
    if (lg == nullptr) return 0;
    try {
        return count_and_emit(lg, level, text_or_empty(module), title, message, detail);
    } catch (...) {
        return 0;
    }
}

int QLTP_logger_set_error(logger *lg, int code, const char *message, const char *detail) {
    if (lg == nullptr) return 0;
    try {
        return report(lg, code, message, detail);
    } catch (...) {
        return 0;
    }
}

int QLTP_logger_logmodule(logger *lg, const char *jobid, const char *module, int mode, const char *text) {
    if (lg == nullptr) return 0;
    try {
        lg->has_module = module != nullptr;
        lg->module = text_or_empty(module);
        if (!lg->moduleoutput) return 0;
        if (lg->threshold == QLTP_LOGGER_DEBUG) {
            lg->messages++;
            if (lg->on) {
                std::string detail = "{\"module\":\"";
                detail += lg->module;
                detail += "\",\"level\":\"";
                detail += QLTP_LOGGER_LEVEL_NAMES[lg->threshold];
                detail += "\"}";
                emit(lg, QLTP_LOGGER_DEBUG, "LOGGER", "Module logging started",
                     "module logging has commenced", detail);
            }
        }
        if (!lg->tofile || lg->logdir.empty()) return 1;

        std::string file_path = lg->logdir;
        file_path += '/';
        file_path += file_name_part(module);
        file_path += '_';
        file_path += file_name_part(jobid);
        file_path += ".log";
        std::FILE *f = std::fopen(file_path.c_str(), mode != 0 ? "w" : "a");
        if (f != nullptr) {
            bool ok = write_all(f, text_or_empty(text));
            if (std::fclose(f) != 0) ok = false;
            if (ok) return 1;
        }
        lg->warnings++;
        lg->messages++;
        if (lg->on && lg->threshold <= QLTP_LOGGER_WARN)
            emit(lg, QLTP_LOGGER_WARN, current_module(lg), "Missing file", "Cannot open module log file",
                 file_path);
        return 0;
    } catch (...) {
        return 0;
    }
}

int QLTP_logger_modulelogging(const logger *lg) { return lg != nullptr && lg->moduleoutput ? 1 : 0; }

void QLTP_logger_module_reset(logger *lg) {
    if (lg == nullptr) return;
    try {
        lg->messages++;
        if (lg->on && lg->threshold == QLTP_LOGGER_DEBUG)
            emit(lg, QLTP_LOGGER_DEBUG, "LOGGER", "logger function call", "module reset",
                 lg->moduleclear ? "True" : "False");
        if (lg->moduleclear) {
            lg->lines.clear();
            lg->levels.clear();
            lg->errors = 0;
            lg->warnings = 0;
            lg->messages = 0;
        }
    } catch (...) {
    }
}

void QLTP_logger_reset(logger *lg) {
    if (lg == nullptr) return;
    try {
        lg->lines.clear();
        lg->levels.clear();
        lg->errors = 0;
        lg->warnings = 0;
        lg->messages = 1;
        if (lg->on && lg->threshold == QLTP_LOGGER_DEBUG)
            emit(lg, QLTP_LOGGER_DEBUG, "LOGGER", "logger function call", "reset", "");
    } catch (...) {
    }
}

void QLTP_logger_set_level(logger *lg, int level) {
    if (lg == nullptr) return;
    try {
        lg->messages++;
        lg->threshold = clamp_threshold(level);
        if (lg->on && lg->threshold == QLTP_LOGGER_DEBUG)
            emit(lg, QLTP_LOGGER_DEBUG, "LOGGER", "logger function call", "Set logging level", "DEBUG");
    } catch (...) {
    }
}

void QLTP_logger_set_on(logger *lg) {
    if (lg != nullptr) lg->on = true;
}

void QLTP_logger_set_store(logger *lg) {
    if (lg == nullptr) return;
    lg->on = true;
    lg->store = true;
}

void QLTP_logger_set_stdout(logger *lg, int flag) {
    if (lg != nullptr) lg->to_stdout = flag != 0;
}

void QLTP_logger_set_stderr(logger *lg, int flag) {
    if (lg != nullptr) lg->to_stderr = flag != 0;
}

void QLTP_logger_set_logfile(logger *lg, const char *dir) {
    if (lg == nullptr) return;
    try {
        if (dir != nullptr && *dir != '\0') {
            lg->logdir = dir;
            build_path(lg);
            lg->tofile = true;
        } else {
            lg->logdir.clear();
            lg->path.clear();
            lg->tofile = false;
        }
    } catch (...) {
        lg->logdir.clear();
        lg->path.clear();
        lg->tofile = false;
    }
}

int QLTP_logger_loglevel(const logger *lg) { return lg != nullptr ? lg->threshold : QLTP_LOGGER_NONE; }
int QLTP_logger_no_errors(const logger *lg) { return lg != nullptr ? lg->errors : 0; }
int QLTP_logger_no_warnings(const logger *lg) { return lg != nullptr ? lg->warnings : 0; }
int QLTP_logger_no_messages(const logger *lg) { return lg != nullptr ? lg->messages : 0; }

int QLTP_logger_lvl(const logger *lg, int i) {
    if (lg == nullptr || i < 0 || static_cast<size_t>(i) >= lg->levels.size()) return 0;
    return lg->levels[static_cast<size_t>(i)];
}

const char *QLTP_logger_msg(const logger *lg, int i) {
    if (lg == nullptr || i < 0 || static_cast<size_t>(i) >= lg->lines.size()) return nullptr;
    return lg->lines[static_cast<size_t>(i)].c_str();
}

int QLTP_logger_print(const logger *lg, dystr *d) {
    if (lg == nullptr || d == nullptr) return 0;
    for (const std::string &l : lg->lines)
        if (!QLTP_dystr_append2(d, l.data(), static_cast<int>(l.size()), "\n", 1)) return 0;
    return 1;
}

void QLTP_logger_printf(const logger *lg) {
    if (lg == nullptr) return;
    std::printf("Logger (%s), level: %s\n", lg->name.c_str(), QLTP_LOGGER_LEVEL_NAMES[lg->threshold]);
    for (const std::string &l : lg->lines) {
        write_all(stdout, l);
        std::fputc('\n', stdout);
    }
}
