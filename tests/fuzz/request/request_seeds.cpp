// Seeds of the whole-request fuzz target, each with the answer it must get.
//
// Input layout. Byte 0 holds flags:
//   bit 0   structured: the rest is "TempFileName\nNewFileSize\nComputerName\nVerify\ncontent",
//           sent urlencoded (or, with bit 1, TempFileName as a multipart file part of content)
//   bit 1   structured: multipart; raw: with bit 2, the body kind (see below)
//   bit 2   settings: Quarantine_Folder_Capacity=0
//   bit 3   ".store" holds the first 12 bytes of the content
//   bit 4   settings: no Quarantine_Folder (the default folder, which does not exist)
//   bit 5   structured: leave out the variable numbered by bits 6 and 7
// Raw inputs (bit 0 clear) are the body itself; bits 1 and 6 choose urlencoded, multipart
// (boundary "fz"), GET with the rest as query string, or a POST without a content type.
// In every value "@F" stands for the prepared upload file, "@T" for the upload directory with its
// separator, a Verify of "@V" for the true signature of the file that TempFileName names, and a
// Verify of "@N" for the signature of the computer name alone, as a forger computes it.
#include "request_fuzz.h"

#define SEED(name, text, answer)                                                                   \
    {                                                                                              \
        name, text, sizeof(text) - 1, EAnswer::answer                                              \
    }

const CRequestSeed g_requestSeeds[] = {
    SEED("valid", "\x01@F\n12\nPC7\n@V\nupload body!", Ok),
    SEED("valid_multipart", "\x03x\n12\nPC7\n@V\nupload body!", Ok),
    SEED("wrong_signature", "\x01@F\n12\nPC7\n0123456789abcdef0123456789abcdef\ncontent", Failed),
    SEED("traversal", "\x01@T../keep.bin\n8\nPC7\n@V\nxxxxxxxx", Failed),
    SEED("outside", "\x01@T../../outside/victim.bin\n8\nPC7\n@V\nxxxxxxxx", Failed),
    SEED("doubled_separator", "\x01@T/../keep.bin\n8\nPC7\n@V\nxxxxxxxx", Failed),
    SEED("capacity_zero", "\x05@F\n12\nPC7\n@V\nupload body!", Failed),
    SEED("damaged_store", "\x09@F\n12\nPC7\n@V\n\xff\xff\xff\xff\xff\xff\xff\x7f", Failed),
    SEED("negative_store", "\x09@F\n12\nPC7\n@V\n\xff\xff\xff\xff\xff\xff\xff\xff....", Ok),
    SEED("missing_size", "\x61@F\n12\nPC7\n@V\nupload body!", Empty),
    SEED("missing_verify", "\xe1@F\n12\nPC7\n@V\nupload body!", Empty),
    SEED("bad_computer", "\x01@F\n12\nPC/7\n@V\nupload body!", Empty),
    SEED("percent_computer", "\x01@F\n12\nPC%41\n@V\nupload body!", Empty),
    SEED("default_folder", "\x11@F\n12\nPC7\n@V\nupload body!", Failed),
    SEED("long_computer",
         "\x01@F\n4\n"
         "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC"
         "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC"
         "CCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCCC\n@"
         "V\nlong",
         Any),
    SEED("huge_size", "\x01@F\n99999999999\nPC7\n@V\nupload body!", Ok),
    SEED("negative_size", "\x01@F\n-100\nPC7\n@V\nupload body!", Ok),
    SEED("raw_urlencoded", "\x00TempFileName=@F&NewFileSize=3&ComputerName=PC7&Verify=00", Failed),
    SEED(
        "raw_multipart",
        "\x02--fz\r\nContent-Disposition: form-data; name=\"TempFileName\"; filename=\"a\"\r\n\r\n"
        "MZ\r\n--fz\r\nContent-Disposition: form-data; name=\"NewFileSize\"\r\n\r\n2\r\n--fz--\r\n",
        Empty),
    SEED("raw_get", "\x40TempFileName=@T..%2fkeep.bin&NewFileSize=1&ComputerName=a&Verify=b",
         Failed),
    SEED("raw_bad_escape", "\x00TempFileName=%zz", Empty),
    SEED("forged_upload_dir", "\x01@T\n0\nATTACK\n@N\nx", Failed),
    SEED("forged_upload_dir_dot", "\x01@T.\n0\nATTACK\n@N\nx", Failed),
    SEED("forged_upload_dir_parent", "\x01@T..\n0\nATTACK\n@N\nx", Failed),
    SEED("forged_missing_file", "\x01@Tmissing.bin\n2147483647\nATTACK\n@N\nx", Failed),
    SEED("engine_unreadable_name_only", "\x01@F\n12\nPC7\n@N\nupload body!", Failed),
    // Names that Windows maps to devices, and streams: no file of their own, refused at once.
    SEED("device_com1", "\x01@TCOM1\n0\nATTACK\n@N\nx", Failed),
    SEED("device_nul_extension", "\x01@Tnul.txt\n0\nATTACK\n@N\nx", Failed),
    SEED("device_nul_stream", "\x01@TNUL::$DATA\n0\nATTACK\n@N\nx", Failed),
    SEED("device_con_trailing_dot", "\x01@TCON.\n0\nATTACK\n@N\nx", Failed),
    SEED("stream_of_the_upload", "\x01@F:stream\n12\nPC7\n@N\nupload body!", Failed),
    SEED("data_stream_of_the_upload", "\x01@F::$DATA\n12\nPC7\n@N\nupload body!", Failed),
    // The upload's own 12 bytes count, not the size claimed.
    SEED("claim_zero_against_capacity_zero", "\x05@F\n0\nPC7\n@V\nupload body!", Failed),
    SEED("claim_negative_against_capacity_zero", "\x05@F\n-2147483648\nPC7\n@V\nupload body!",
         Failed),
    SEED("claim_whole_range", "\x01@F\n2147483647\nPC7\n@V\nupload body!", Ok),
};

const size_t g_nRequestSeeds = sizeof(g_requestSeeds) / sizeof(g_requestSeeds[0]);
