<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="fi_FI">
<context>
    <name>ServerThread</name>
    <message>
        <source>Size=</source>
        <translation>Koko=</translation>
    </message>
    <message>
        <source>No files in shared folder: </source>
        <translation>Jaetussa kansiossa ei ole tiedostoja: </translation>
    </message>
</context>
</TS>
