// The calcTF annotations of an archive's source.xml (see calctf.h).
#include "calctf.h"

#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <libxml/parser.h>
#include <zip.h>
#include <libxml/tree.h>


namespace {

bool named(const xmlNode *node, const char *name)
{
    return node->type == XML_ELEMENT_NODE && strcmp((const char *)node->name, name) == 0;
}

// The value of an attribute as a number; false when it is absent.
bool attribute(xmlNode *node, const char *name, double *value)
{
    xmlChar *text = xmlGetProp(node, (const xmlChar *)name);
    if (text == nullptr)
        return false;
    *value = strtod((const char *)text, nullptr);
    xmlFree(text);
    return true;
}

bool attributeIs(xmlNode *node, const char *name, const char *want)
{
    xmlChar *text = xmlGetProp(node, (const xmlChar *)name);
    bool same = text != nullptr && strcmp((const char *)text, want) == 0;
    xmlFree(text);
    return same;
}

} // namespace

int velk_readCalcTFOffsets(zip_t *archive, const velkio_Positions *positions, const char *kind,
                           float *offsets)
{
    int n = velkio_Positions_getSize(positions);
    for (int i = 0; i < n; i++)
        offsets[i] = 0.0f;
    char *text = nullptr;
    if (archive == nullptr || velkio_Archive_readMember(archive, nullptr, "transferFunction/source.xml",
                                                        VELKIO_MEMBER_XML, (unsigned char **)&text,
                                                        nullptr) != 0)
        return 1;
    // A local document: no network, no entities substituted.
    xmlDocPtr doc = xmlReadMemory(text, (int)strlen(text), "source.xml", nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    free(text);
    if (doc == nullptr) {
        VELKIO_LOG(VELKIO_LOG_ERROR, "source.xml parse error");
        return 1;
    }
    std::unordered_map<int, float> found;
    xmlNode *root = xmlDocGetRootElement(doc);
    for (xmlNode *list = root ? root->children : nullptr; list; list = list->next) {
        if (!named(list, "positions"))
            continue;
        for (xmlNode *pos = list->children; pos; pos = pos->next) {
            double id;
            if (!named(pos, "position") || !attribute(pos, "id", &id) || id != (int)id ||
                found.count((int)id))
                continue;
            float offset = 0.0f;
            for (xmlNode *c = pos->children; c; c = c->next) {
                double v;
                if (named(c, "calcTF") && attributeIs(c, "type", kind) &&
                    attribute(c, "offset", &v)) {
                    offset = (float)v;
                    break;
                }
            }
            found.emplace((int)id, offset);
        }
        break; // the first positions element, as the XPath reads it
    }
    xmlFreeDoc(doc);
    for (int i = 0; i < n; i++) {
        auto it = found.find(positions->list[i]->id);
        if (it != found.end())
            offsets[i] = it->second;
    }
    return 0;
}
