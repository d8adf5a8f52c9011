// The calcTF annotations of a transfer-function archive: where the
// generators cut each source's impulse responses.
#ifndef VELK_LIB_CALCTF_H
#define VELK_LIB_CALCTF_H

#include <zip.h>

#include "velkio.h"

/* Fills offsets[i] with the `offset` of the calcTF element of type `kind`
 * ("localization" or "separation") of the position with the id of
 * positions->list[i] in the archive's transferFunction/source.xml, 0 where
 * there is none (as the XPath
 * /velk_xml/positions/position[@id=ID]/calcTF[@type=KIND]/@offset reads it:
 * the first position with that id, its first such element).  One pass over
 * the document, however many positions.  0 on success, 1 after a level-0
 * message. */
int velk_readCalcTFOffsets(zip_t *archive, const velkio_Positions *positions, const char *kind,
                           float *offsets);

#endif /* VELK_LIB_CALCTF_H */
