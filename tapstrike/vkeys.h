#ifndef TAPSTRIKE_VKEYS_H
#define TAPSTRIKE_VKEYS_H

/* The X keysym of the key a Windows virtual-key code names; 0 when X has none. */
unsigned int tapstrike_vk_keysym(unsigned char vk);

#endif
