#include "foundation/list.h"

#include "foundation/strutil.h"

namespace {

list* node(void* value) {
    auto* n = static_cast<list*>(QLTP_malloc(sizeof(list)));
    if (!n) return nullptr;
    n->value = value;
    n->next = nullptr;
    return n;
}

bool empty(const list* l) { return !l->value && !l->next; }

void free_nodes(list* n) {
    while (n) {
        list* next = n->next;
        QLTP_free(n->value);
        QLTP_free(n);
        n = next;
    }
}

}  // namespace

list* QLTP_list_new() { return node(nullptr); }

void QLTP_list_clear(list* l) {
    if (!l) return;
    free_nodes(l->next);
    QLTP_free(l->value);
    l->value = nullptr;
    l->next = nullptr;
}

void QLTP_list_delete(list* l) { free_nodes(l); }

int QLTP_list_append(list* l, void* value) {
    if (!l) return 0;
    if (empty(l)) {
        l->value = value;
        return 1;
    }
    list* n = node(value);
    if (!n) return 0;
    QLTP_list_last(l)->next = n;
    return 1;
}

list* QLTP_list_push(list* l, void* value) {
    if (!l) return nullptr;
    if (empty(l)) {
        l->value = value;
        return l;
    }
    list* n = node(value);
    if (!n) return nullptr;
    n->next = l;
    return n;
}

list* QLTP_list_pop(list* l, list** head) {
    if (!l) return nullptr;
    list* rest = l->next ? l->next : node(nullptr);
    if (!rest) return nullptr;
    l->next = nullptr;
    if (head) *head = l;
    return rest;
}

list* QLTP_list_last(list* l) {
    while (l && l->next) l = l->next;
    return l;
}

void* QLTP_list_val(const list* node) { return node ? node->value : nullptr; }

int QLTP_list_sz(const list* l) {
    if (!l || empty(l)) return 0;
    int n = 0;
    for (; l; l = l->next) ++n;
    return n;
}

void* QLTP_list_idx(const list* l, int i) {
    if (i < 0) return nullptr;
    for (; l && i > 0; --i) l = l->next;
    return l ? l->value : nullptr;
}

// String lists

strlist* QLTP_strlist_new() { return QLTP_list_new(); }
void QLTP_strlist_clear(strlist* l) { QLTP_list_clear(l); }
void QLTP_strlist_delete(strlist* l) { QLTP_list_delete(l); }

int QLTP_strlist_append(strlist* l, const char* s, int len) {
    if (!l || !s) return 0;
    char* copy = QLTP_strndup(s, len);
    if (!copy) return 0;
    if (!QLTP_list_append(l, copy)) {
        QLTP_free(copy);
        return 0;
    }
    return 1;
}

strlist* QLTP_strlist_push(strlist* l, const char* s, int len) {
    if (!l || !s) return l;
    char* copy = QLTP_strndup(s, len);
    if (!copy) return l;
    strlist* head = QLTP_list_push(l, copy);
    if (!head) {
        QLTP_free(copy);
        return l;
    }
    return head;
}

strlist* QLTP_strlist_pop(strlist* l, strlist** head) { return QLTP_list_pop(l, head); }

strlist* QLTP_strlist_popdelete(strlist* l) {
    list* head = nullptr;
    strlist* rest = QLTP_list_pop(l, &head);
    if (head) QLTP_list_delete(head);
    return rest;
}

char* QLTP_strlist_val(const strlist* node) { return static_cast<char*>(QLTP_list_val(node)); }
int QLTP_strlist_sz(const strlist* l) { return QLTP_list_sz(l); }
char* QLTP_strlist_idx(const strlist* l, int i) { return static_cast<char*>(QLTP_list_idx(l, i)); }
