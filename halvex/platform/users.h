// The library's user and group registry and the threads' identities. User
// ids and group ids are 16-bit; user 6 ("invalid") means no user.
#pragma once

#include <halvex/halvex_export.h>

HALVEX_C_API unsigned short get_user_id(void);
HALVEX_C_API void set_user_id(unsigned short id);
HALVEX_C_API unsigned short get_group_id(void);
HALVEX_C_API void set_group_id(unsigned short id);
HALVEX_C_API int user_in_group(unsigned short user, unsigned short group);
HALVEX_C_API const char* get_user_name(unsigned short id);
HALVEX_C_API const char* get_group_name(unsigned short id);
HALVEX_C_API int get_user_id_from_name(const char* name, unsigned short* id, unsigned short* group);
HALVEX_C_API int get_group_id_from_name(const char* name, unsigned short* id);
HALVEX_C_API int is_valid_user(const char* name, const char* password);
HALVEX_C_API int add_user(const char* name, const char* password, unsigned short* id, unsigned short* group);
HALVEX_C_API int remove_user(const char* name, const char* password);
HALVEX_C_API int add_user_to_group(unsigned short user, unsigned short group);
HALVEX_C_API int remove_user_from_group(unsigned short user, unsigned short group);
