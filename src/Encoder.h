// Base64 (RFC 4648 alphabet, "=" pad). Returns 0 or -1 and prints nothing.
#ifndef ENCODER_H
#define ENCODER_H

int base64_encode(unsigned char* dst, int& dlen, const unsigned char* src, int slen);
int base64_decode(unsigned char* dst, int& dlen, const unsigned char* src, int slen);

#endif  // ENCODER_H
