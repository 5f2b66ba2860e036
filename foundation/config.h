// Layered configuration: small XML documents ("tpconfig" for a channel,
// "dbconfig" for a database) whose settings are the attributes of the root
// element's direct children, addressed by section (the child's name) and key
// (the attribute's name). A configsettings stacks an override document over
// the built-in defaults; every lookup asks the override first. Booleans are
// "True" and "False"; a value beginning with "True" reads as on.
#pragma once

#include <cstdint>

#include "foundation/strmap.h"

struct config;
struct configsettings;
struct nrules;
struct tpdb;

// Built-in database defaults: lines fed one after another, ended by ""
extern const char *const TPDB_DEFAULT_CONFIG[];

// Create and free a document expecting the given root element name
config *QLTP_config_new(const char *root, int len);
void QLTP_config_delete(config *cfg);

// Load a document: from memory, from lines ended by "", from a file
int QLTP_config_load(config *cfg, const char *text, int len);
int QLTP_config_loads(config *cfg, const char *const *lines);
int QLTP_config_loadf(config *cfg, const char *path);
int QLTP_config_load_prealloc(config *cfg, const char *text, int len, nrules *rules);
int QLTP_config_loads_prealloc(config *cfg, const char *const *lines, nrules *rules);

// Look settings up (section + "|" + key; occurrence k of a repeated section)
str2str *QLTP_config_dict(const config *cfg);
const char *QLTP_config_lookup(const config *cfg, const char *section, int slen, const char *key, int klen);
const char *QLTP_config_lookup_idx(const config *cfg, const char *section, int slen, const char *key,
                                   int klen, int k);
int QLTP_config_lookup_n(const config *cfg, const char *section, int slen);

// Two layers: defaults and an optional override, both owned
configsettings *QLTP_configsettings_new(config *defaults, config *override_layer);
void QLTP_configsettings_delete(configsettings *s);
const char *QLTP_configsettings_lookup(const configsettings *s, const char *section, int slen,
                                       const char *key, int klen);

// Database kind TPOBJ_CONFIG: the object is the document's NUL-terminated text
int QLTP_tpobj_config_pstload(tpdb *db, char *text);
void QLTP_tpobj_config_delete(char *text);
int32_t QLTP_tpobj_config_write(const char *text, char *dst, int swap);
