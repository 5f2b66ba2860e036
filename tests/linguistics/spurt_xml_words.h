// Reads spurt XML back with libxml2: the words of a run of spurts.
#pragma once

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <string>
#include <vector>

namespace orvelle_test {

// The "norm/phonemes" of every word of `spurts` (wrapped in a root), the norm
// without the writer's line breaks and tabs; with `mark_spurts` each spurt
// opens with "|". `count` gets the number of spurts, -1 when the text is not
// well-formed.
inline std::vector<std::string> SpurtXmlWords(const std::string& spurts, int* count, bool mark_spurts = false) {
    const std::string doc = "<root>" + spurts + "</root>";
    xmlDoc* parsed = xmlReadMemory(doc.data(), static_cast<int>(doc.size()), nullptr, "UTF-8",
                                   XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_HUGE);
    std::vector<std::string> words;
    *count = -1;
    if (!parsed) return words;
    *count = 0;
    std::vector<xmlNode*> todo = {xmlDocGetRootElement(parsed)};
    while (!todo.empty()) {
        xmlNode* n = todo.back();
        todo.pop_back();
        for (xmlNode* c = n->last; c; c = c->prev) todo.push_back(c);
        if (n->type != XML_ELEMENT_NODE) continue;
        if (xmlStrEqual(n->name, BAD_CAST "spurt")) {
            ++*count;
            if (mark_spurts) words.push_back("|");
        }
        if (!xmlStrEqual(n->name, BAD_CAST "lex")) continue;
        xmlChar* text = xmlNodeGetContent(n);
        xmlChar* phonemes = xmlGetProp(n, BAD_CAST "phonemes");
        std::string w = reinterpret_cast<const char*>(text);
        w.erase(0, w.find_first_not_of("\n\t"));
        w.erase(w.find_last_not_of("\n\t") + 1);
        words.push_back(w + "/" + (phonemes ? reinterpret_cast<const char*>(phonemes) : ""));
        xmlFree(text);
        xmlFree(phonemes);
    }
    xmlFreeDoc(parsed);
    return words;
}

}  // namespace orvelle_test
