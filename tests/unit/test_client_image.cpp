extern const unsigned char ClientImage[] = {1}; extern const unsigned ClientImageSize = 1;
