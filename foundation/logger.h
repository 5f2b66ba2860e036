// Logger of the text-processing library: one per channel ("TPC"), database
// ("TPDB") and rule reader ("NRULES"). Modules report with an error code that
// selects a title and a level from a fixed table and go on processing.
#pragma once

#include "foundation/dystr.h"

struct configsettings;
struct logger;

// Levels (thresholds run from DEBUG to NONE; events from DEBUG to CRITICAL)
enum {
    QLTP_LOGGER_DEBUG = 0,
    QLTP_LOGGER_INFO = 1,
    QLTP_LOGGER_WARN = 2,
    QLTP_LOGGER_ERROR = 3,
    QLTP_LOGGER_CRITICAL = 4,
    QLTP_LOGGER_NONE = 5,
};

// Error codes: each selects a title and a level from the table
enum {
    QLTP_ERROR_UNKNOWN_TYPE = 0,
    QLTP_ERROR_EXPAT_PARSE = 1,
    QLTP_ERROR_RESET_DATA_LOSS = 2,
    QLTP_ERROR_XML_TEXT_SWITCH = 3,
    QLTP_ERROR_TPDB_OPEN_READ = 4,
    QLTP_ERROR_TPDB_OPEN_WRITE = 5,
    QLTP_ERROR_TPDB_READ_WARNINGS = 6,
    QLTP_ERROR_ENDIANESS = 7,
    QLTP_ERROR_INVALID_OBJECT = 8,
    QLTP_ERROR_CRITICAL_WRITE = 9,
    QLTP_ERROR_CONFIG_FILE = 10,
    QLTP_MESSAGE_INFO = 11,
    QLTP_ERROR_MISSING_FILE = 12,
    QLTP_ERROR_CORRUPT_FILE = 13,
    QLTP_ERROR_FILE_EXISTS = 14,
    QLTP_MESSAGE_WARN = 15,
    QLTP_ERROR_LOG_FILE_MISSING = 16,
    QLTP_MESSAGE_CRITICAL = 17,
    QLTP_MESSAGE_ERROR = 18,
    QLTP_MESSAGE_DEBUG = 19,
    QLTP_ERROR_CODE_COUNT = 20,
};

// Tables: level names (6) and the title and level of each error code (20)
extern const char *const QLTP_LOGGER_LEVEL_NAMES[6];
extern const char *const QLTP_ERROR_INFO_NAME[QLTP_ERROR_CODE_COUNT];
extern const int QLTP_ERROR_INFO_LEVEL[QLTP_ERROR_CODE_COUNT];
const char *QLTP_logger_level_name(int level);
const char *QLTP_logger_error_name(int code);

// Create and free; settings (section "log") may be NULL for the defaults
logger *QLTP_logger_new(const char *name, int len, const configsettings *settings);
void QLTP_logger_delete(logger *lg);

// Report events
int QLTP_logger_log(logger *lg, int level, const char *module, const char *title,
                    const char *message, const char *detail);
int QLTP_logger_set_error(logger *lg, int code, const char *message, const char *detail);

// Module trace files <logdir>/<module>_<jobid>.log and job start
int QLTP_logger_logmodule(logger *lg, const char *jobid, const char *module, int mode,
                          const char *text);
int QLTP_logger_modulelogging(const logger *lg);
void QLTP_logger_module_reset(logger *lg);
void QLTP_logger_reset(logger *lg);

// Settings
void QLTP_logger_set_level(logger *lg, int level);
void QLTP_logger_set_on(logger *lg);
void QLTP_logger_set_store(logger *lg);
void QLTP_logger_set_stdout(logger *lg, int flag);
void QLTP_logger_set_stderr(logger *lg, int flag);
void QLTP_logger_set_logfile(logger *lg, const char *dir);

// Counters, threshold and stored lines
int QLTP_logger_loglevel(const logger *lg);
int QLTP_logger_no_errors(const logger *lg);
int QLTP_logger_no_warnings(const logger *lg);
int QLTP_logger_no_messages(const logger *lg);
int QLTP_logger_lvl(const logger *lg, int i);
const char *QLTP_logger_msg(const logger *lg, int i);
int QLTP_logger_print(const logger *lg, dystr *d);
void QLTP_logger_printf(const logger *lg);
