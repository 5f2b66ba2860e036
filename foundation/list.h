#pragma once
// Singly linked lists of owned pointers, and of owned strings. A list is its
// first node; an empty list is a single node whose value is NULL. Values are
// freed with QLTP_free.

struct list {
    void* value;
    list* next;
};
using strlist = list;

// Create and free
list* QLTP_list_new();
void QLTP_list_clear(list* l);
void QLTP_list_delete(list* l);

// Add and remove at the ends: push and pop give the new first node; pop
// hands the detached node out through head and gives a new empty list when
// no node remains
int QLTP_list_append(list* l, void* value);
list* QLTP_list_push(list* l, void* value);
list* QLTP_list_pop(list* l, list** head);

// Access
list* QLTP_list_last(list* l);
void* QLTP_list_val(const list* node);
int QLTP_list_sz(const list* l);
void* QLTP_list_idx(const list* l, int i);

// String lists: copies of len bytes (negative: up to the NUL)
strlist* QLTP_strlist_new();
void QLTP_strlist_clear(strlist* l);
void QLTP_strlist_delete(strlist* l);
int QLTP_strlist_append(strlist* l, const char* s, int len);
strlist* QLTP_strlist_push(strlist* l, const char* s, int len);
strlist* QLTP_strlist_pop(strlist* l, strlist** head);
strlist* QLTP_strlist_popdelete(strlist* l);
char* QLTP_strlist_val(const strlist* node);
int QLTP_strlist_sz(const strlist* l);
char* QLTP_strlist_idx(const strlist* l, int i);
