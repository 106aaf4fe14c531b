/*
 * image.cpp - the record walk and the image writer shared by repair and
 * reorder: the temporary file, the signature check, the walk from record to
 * record by each record's stored length, streaming copies, the final
 * totalSize and the in-place replace through CopyFileW.
 *
 * The walk keeps its own idea of the input's position so that it seeks only
 * when a record did not end where the reading stopped; the output's
 * totalSize is always its own length.
 */
#include "ramimage/image.h"

static const WCHAR EMPTY[] = TEXT("");

int imageOpen(RamImage *img, const WCHAR *path, const RewriteTexts *texts)
{
    BYTE header[IMAGE_HEADER_CB] = {0};
    long cbFile;
    size_t cbHeader;
    DWORD signature;

    img->in = NULL;
    img->out = NULL;
    img->tempPath[0] = 0;
    img->texts = texts;
    img->inLength = 0;
    img->totalSize = 0;
    img->inPos = -1;
    img->next = IMAGE_HEADER_CB;
    img->started = 0;
    img->failed = IMAGE_OK;
    img->start = 0;
    img->size = 0;
    img->length = 0;
    img->type = 0;

    if (GetTempFileNameW(g_tempDir, texts->prefix, 0, img->tempPath) == 0) {
        writeLog(texts->noTempName, EMPTY, 1);
        return 3;
    }
    /* Only the name is wanted: the new image is created below. */
    DeleteFileW(img->tempPath);

    img->in = _wfopen(path, texts->inputMode);
    if (img->in == NULL) {
        writeLog(texts->noOpen, path, 1);
        return 9;
    }
    img->out = _wfopen(img->tempPath, TEXT("w+b"));
    if (img->out == NULL) {
        writeLog(texts->noOpen, img->tempPath, 1);
        fclose(img->in);
        img->in = NULL;
        return 9;
    }

    /* The length of the input bounds every read: nothing past its end is
     * ever asked for, so a record cut short is known before it is read. */
    if (fseek(img->in, 0, SEEK_END) != 0 || (cbFile = ftell(img->in)) < 0 ||
        fseek(img->in, 0, SEEK_SET) != 0) {
        img->failed = IMAGE_READ_FAILED;
        cbFile = 0;
    }
    img->inLength = cbFile;

    cbHeader = img->failed == IMAGE_OK ? fread(header, 1, IMAGE_HEADER_CB, img->in) : 0;
    img->inPos = (int64_t)cbHeader;
    /* Fewer bytes than the file holds is a failed read, not a short file. */
    if (img->failed != IMAGE_OK ||
        (int64_t)cbHeader != (cbFile < IMAGE_HEADER_CB ? cbFile : IMAGE_HEADER_CB)) {
        writeLog(texts->noRead, path, 1);
        fclose(img->out);
        fclose(img->in);
        img->out = NULL;
        img->in = NULL;
        DeleteFileW(img->tempPath);
        return RAMIMAGE_NOT_WRITTEN;
    }
    signature = (DWORD)header[0] | ((DWORD)header[1] << 8) | ((DWORD)header[2] << 16) |
                ((DWORD)header[3] << 24);
    if (cbHeader < 4 || signature != RAM_REG_SIG) {
        writeLog(texts->sigUnknown, EMPTY, 1);
        fclose(img->out);
        fclose(img->in);
        img->out = NULL;
        img->in = NULL;
        DeleteFileW(img->tempPath);
        return 8;
    }
    /* A file that ends inside totalSize has it read as 0: no record is
     * visited and the new image is the bare header. */
    if (cbHeader < IMAGE_HEADER_CB)
        header[4] = header[5] = header[6] = header[7] = 0;
    img->totalSize = (LONG)((DWORD)header[4] | ((DWORD)header[5] << 8) |
                            ((DWORD)header[6] << 16) | ((DWORD)header[7] << 24));
    /* totalSize is a placeholder until imageEnd writes the real length. */
    imageWrite(img, header, IMAGE_HEADER_CB);
    return 0;
}

/* Moves the input to offset unless it stands there already. */
static int seekInput(RamImage *img, int64_t offset)
{
    if (img->failed != IMAGE_OK)
        return 0;
    if (img->inPos == offset)
        return 1;
    if (fseek(img->in, (long)offset, SEEK_SET) != 0) {
        img->failed = IMAGE_READ_FAILED;
        img->inPos = -1;
        return 0;
    }
    img->inPos = offset;
    return 1;
}

int walkNext(RamImage *img)
{
    BYTE head[RECORD_HEAD_CB];
    int64_t offset = img->next;
    /* The first record is tested as if at offset 0, so that any positive
     * totalSize admits it. */
    int64_t tested = img->started ? offset : 0;

    img->started = 1;
    if (img->failed != IMAGE_OK || offset >= img->inLength || tested >= (int64_t)img->totalSize)
        return WALK_END;
    if (!seekInput(img, offset))
        return WALK_END;
    img->start = offset;
    if (img->inLength - offset < RECORD_HEAD_CB) {
        img->size = (DWORD)(img->inLength - offset);
        img->length = 0;
        img->type = 0;
        img->next = img->inLength;
        return WALK_CUT;
    }
    if (!imageRead(img, head, RECORD_HEAD_CB))
        return WALK_END;
    img->length = getWord(head);
    img->type = getWord(head + 2);
    img->size = (DWORD)img->length + RECORD_HEAD_CB;
    img->next = offset + img->size;
    return WALK_RECORD;
}

int imageRead(RamImage *img, void *buffer, size_t cb)
{
    size_t got;

    if (img->failed != IMAGE_OK)
        return 0;
    got = fread(buffer, 1, cb, img->in);
    img->inPos += (int64_t)got;
    if (got != cb) {
        img->failed = IMAGE_READ_FAILED;
        return 0;
    }
    return 1;
}

void imageWrite(RamImage *img, const void *bytes, size_t cb)
{
    if (img->failed != IMAGE_OK)
        return;
    if (fwrite(bytes, 1, cb, img->out) != cb)
        img->failed = IMAGE_WRITE_FAILED;
}

int imageCopy(RamImage *img, int64_t offset, int64_t cb, BYTE *buffer)
{
    size_t piece;

    if (offset >= 0 && !seekInput(img, offset))
        return 0;
    while (cb > 0 && img->failed == IMAGE_OK) {
        piece = cb < IMAGE_BUFFER_CB ? (size_t)cb : IMAGE_BUFFER_CB;
        if (imageRead(img, buffer, piece))
            imageWrite(img, buffer, piece);
        cb -= (int64_t)piece;
    }
    return img->failed == IMAGE_OK;
}

int imageEnd(RamImage *img, const WCHAR *path, int keep)
{
    int failed = img->failed;
    int result = 0;
    long cbOut;
    BYTE size[4];

    if (keep && failed == IMAGE_OK) {
        /* The new image's length, whatever the input's totalSize said. */
        cbOut = ftell(img->out);
        if (cbOut < 0 || fseek(img->out, 4, SEEK_SET) != 0) {
            failed = IMAGE_WRITE_FAILED;
        } else {
            size[0] = (BYTE)cbOut;
            size[1] = (BYTE)(cbOut >> 8);
            size[2] = (BYTE)(cbOut >> 16);
            size[3] = (BYTE)(cbOut >> 24);
            if (fwrite(size, 1, 4, img->out) != 4 || fflush(img->out) != 0 || ferror(img->out))
                failed = IMAGE_WRITE_FAILED;
        }
    }
    /* A full disk may show only when the last buffer is written out. */
    if (fclose(img->out) != 0 && failed == IMAGE_OK)
        failed = IMAGE_WRITE_FAILED;
    fclose(img->in);
    img->out = NULL;
    img->in = NULL;

    if (keep) {
        if (failed == IMAGE_READ_FAILED) {
            writeLog(img->texts->noRead, path, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        } else if (failed == IMAGE_WRITE_FAILED) {
            writeLog(img->texts->noWrite, img->tempPath, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        } else if (!CopyFileW(img->tempPath, path, FALSE)) {
            /* The copy replaces the file whole or not at all: it is as it was. */
            writeLog(img->texts->noReplace, path, 1);
            result = RAMIMAGE_NOT_WRITTEN;
        }
    }
    DeleteFileW(img->tempPath);
    return result;
}
