/* zel.h is usable from C11: this file is compiled as C and run. */
#include <stdio.h>
#include <stdlib.h>

#include "zel.h"

int main(void)
{
    ZelRecord* done = zel_record_done();
    if (done == NULL || done->type != ZEL_DONE) return 1;
    zel_record_free(done);
    if (stride_in_bytes(37, 8, 32) != 40) return 2;
    if (pixel_format_bytes_per_pixel(RGB565) != 2) return 3;
    ZelReader* reader = zel_reader_open_memory("", 0);
    ZelRecord* record = NULL;
    ZelReadStatus status = zel_reader_next(reader, &record);
    zel_reader_close(reader);
    if (status != ZEL_READ_TRUNCATED || record != NULL) return 4;
    ZelReplay* replay = zel_replay_new();
    if (replay == NULL || zel_replay_has_screen(replay)) return 5;
    zel_replay_free(replay);
    printf("%s\n", zel_record_type_to_string(ZEL_COMPRESSED_IMAGE_BLOCKS));
    return 0;
}
