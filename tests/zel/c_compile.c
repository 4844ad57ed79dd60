/* zel.h is usable from C11: this file is compiled as C and run. */
#include "zel.h"

int main(void)
{
    ZelDone* done = zel_record_done();
    ZelReader* reader = zel_reader_open_memory("", 0);
    ZelRecord* record = NULL;
    ZelReadStatus status = zel_reader_next(reader, &record);
    ZelVerification verification;
    ZelVerdict verdict = zel_verify(reader, NULL, &verification);
    zel_reader_close(reader);
    zel_record_free(done);
    return status == ZEL_READ_TRUNCATED && record == NULL && verdict == ZEL_VERDICT_ERROR ? 0 : 1;
}
