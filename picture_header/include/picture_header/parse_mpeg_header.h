/* The picture-size parser module (libVozeDaroruvavuror.so). The driver loads it at run
 * time by its Windows-style name "VozeDaroruvavuror.dll" and calls its one export,
 * "_ParseMpegHeader@16", for every intra frame it is about to deliver. */
#ifndef PICTURE_HEADER_PARSE_MPEG_HEADER_H_
#define PICTURE_HEADER_PARSE_MPEG_HEADER_H_

#if defined(__GNUC__)
#define PICTURE_HEADER_EXPORT __attribute__((visibility("default")))
#else
#define PICTURE_HEADER_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Reads the picture size from the H.263 picture header at the start of a frame.
 *
 * data, length: the whole frame; the picture start code must sit at byte 0 (the driver
 * hands over frames that begin with one, so no search is made). Only the bytes in
 * [data, data + length) are read, and only as far as the header fields that fix the size.
 *
 * Returns 1 and stores the luminance width and height in pixels when the header is a
 * well-formed H.263 picture header with a known size: one of the standard source formats
 * (sub-QCIF, QCIF, CIF, 4CIF, 16CIF) in PTYPE or in the extended PTYPE, or a custom
 * picture format. Returns 0 and stores nothing when data is null, length is 0 or below,
 * either output pointer is null, the header ends early, a fixed bit or a forbidden or
 * reserved code is met, or the header does not carry the size (an extended PTYPE whose
 * UFEP is 000 leaves the size to an earlier picture). */
PICTURE_HEADER_EXPORT int ParseMpegHeader(const unsigned char* data, int length, int* width,
                                          int* height);

#ifdef __cplusplus
}
#endif

#endif /* PICTURE_HEADER_PARSE_MPEG_HEADER_H_ */
