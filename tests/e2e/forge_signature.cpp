// forge-signature TEXT: the signature of a signed text that no file backs, as anyone who knows
// the signing rule computes it. Hostile-input cases send it for what the engine cannot read
// (a directory, a missing file), where the signed text would be the computer name alone.
#include "md5.h"
#include "scrambler.h"
#include "upload_signature.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: forge-signature TEXT\n");
        return 2;
    }
    char szScrambledHex[kSignatureTextSize] = "";
    uint32_t nLength = kSignatureTextSize;
    if (ScrambleToHex(szScrambledHex, argv[1], &nLength) != kScrambleOk)
    {
        fprintf(stderr, "forge-signature: text too long\n");
        return 1;
    }
    char szSignature[kSignatureSize] = "";
    CMessageDigest5 digest;
    digest.HexDigest(szScrambledHex, (uint32_t)strlen(szScrambledHex), szSignature,
                     kSignatureSize);
    printf("%s\n", szSignature);
    return 0;
}
