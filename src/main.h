// Process entry of app_ZQHW and its version text.
#pragma once

extern const char *config_filename;
extern const char *months[12];
extern char app_version[128];

char *formatAppVersion(void);
