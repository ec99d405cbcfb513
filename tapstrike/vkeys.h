#ifndef TAPSTRIKE_VKEYS_H
#define TAPSTRIKE_VKEYS_H

/* The X keysym of the key a Windows virtual-key code names; 0 when X has none. */
unsigned int tapstrike_vk_keysym(unsigned char vk);

/* The XKB name (four characters) of the key a positional code names; NULL for the others. */
const char *tapstrike_vk_position(unsigned char vk);

#endif
