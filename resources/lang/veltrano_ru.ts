<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="ru_RU">
<context>
    <name>CanWorker</name>
    <message>
        <source>Unknown command %1</source><translation>Неизвестная команда %1</translation>
    </message>
    <message>
        <source>Cannot read from file: %1</source><translation>Не удаётся прочитать файл: %1</translation>
    </message>
    <message>
        <source>Selecting %1</source><translation>Выбор %1</translation>
    </message>
    <message>
        <source>Uploading data</source><translation>Загрузка данных</translation>
    </message>
    <message>
        <source>Transport unexpectedly closed</source><translation>Соединение неожиданно закрыто</translation>
    </message>
    <message>
        <source>Transport error: %1</source><translation>Ошибка транспорта: %1</translation>
    </message>
    <message>
        <source>No responce from the device</source><translation>Нет ответа от устройства</translation>
    </message>
    <message>
        <source>Invalid reply for the info command: %1</source><translation>Неверный ответ на команду info: %1</translation>
    </message>
    <message>
        <source>Invalid reply</source><translation>Неверный ответ</translation>
    </message>
    <message>
        <source>Device reports: SDK %1, FW %2, MPY %3, VER %4</source><translation>Устройство сообщает: SDK %1, FW %2, MPY %3, VER %4</translation>
    </message>
    <message>
        <source>Invalid reply for the read command: %1</source><translation>Неверный ответ на команду read: %1</translation>
    </message>
    <message>
        <source>Invalid reply to the &apos;Select&apos; command</source><translation>Неверный ответ на команду 'Select'</translation>
    </message>
    <message>
        <source>Empty reply</source><translation>Пустой ответ</translation>
    </message>
    <message>
        <source>Invalid reply for the config command: %1</source><translation>Неверный ответ на команду config: %1</translation>
    </message>
    <message>
        <source>Hash mismatch</source><translation>Контрольная сумма не совпадает</translation>
    </message>
    <message>
        <source>Device reply processing error. Invalid reply (%1).</source><translation>Ошибка обработки ответа устройства. Неверный ответ (%1).</translation>
    </message>
    <message>
        <source>Device reply processing error.</source><translation>Ошибка обработки ответа устройства.</translation>
    </message>
    <message>
        <source>Device reply processing error at %1: %2</source><translation>Ошибка обработки ответа устройства в %1: %2</translation>
    </message>
    <message>
        <source>Device reply processing error</source><translation>Ошибка обработки ответа устройства</translation>
    </message>
</context>
<context>
    <name>DropArea</name>
    <message>
        <source>Drop firmware file&lt;br&gt;here</source>
        <translation>Перетащите файл прошивки&lt;br&gt;сюда</translation>
    </message>
    <message>
        <source>DFU Files (*.dfu)</source>
        <translation>Файлы DFU (*.dfu)</translation>
    </message>
    <message>
        <source>Select DFU File</source>
        <translation>Выберите файл DFU</translation>
    </message>
</context>
<context>
    <name>HIDDfu</name>
    <message>
        <source>Updater</source>
        <translation>Обновление</translation>
    </message>
    <message>
        <source>Firmware package is invalid</source>
        <translation>Недопустимый пакет прошивки</translation>
    </message>
    <message>
        <source>%1 is not a firmware package</source><translation>%1 не является пакетом прошивки</translation>
    </message>
    <message>
        <source>Incompatible hardware detected.
%1 firmware package is designed for a different board</source><translation>Обнаружено несовместимое оборудование.
Пакет прошивки %1 предназначен для другой платы</translation>
    </message>
    <message>
        <source>Cannot flash this firmware - it is %1 bytes bigger than maximum flash space available</source><translation>Невозможно записать эту прошивку: она на %1 байт больше доступного места во флеш-памяти</translation>
    </message>
</context>
<context>
    <name>ManagerWindow</name>
    <message>
        <source>Veltrano Manager</source>
        <translation>Менеджер Veltrano</translation>
    </message>
    <message>
        <source>Drop binary file&lt;br&gt;&lt;b&gt;here&lt;/b&gt;</source>
        <translation>Перетащите двоичный файл&lt;br&gt;&lt;b&gt;сюда&lt;/b&gt;</translation>
    </message>
    <message>
        <source>Binary files (*.bin)</source>
        <translation>Двоичные файлы (*.bin)</translation>
    </message>
    <message>
        <source>File</source>
        <translation>Файл</translation>
    </message>
    <message>
        <source>Upgrade Utility</source>
        <translation>Утилита обновления</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>Выход</translation>
    </message>
    <message>
        <source>File Upload</source>
        <translation>Загрузка файла</translation>
    </message>
    <message>
        <source>Cannot read file %1: %2</source><translation>Не удаётся прочитать файл %1: %2</translation>
    </message>
    <message>
        <source>%1 is not a firmware file</source><translation>%1 не является файлом прошивки</translation>
    </message>
    <message>
        <source>Firmware file is corrupted</source><translation>Файл прошивки повреждён</translation>
    </message>
</context>
<context>
    <name>Updater</name>
    <message>
        <source>A problem with the Updater application has been detected. The applictaion will be closed.</source>
        <translation>Обнаружена проблема в приложении обновления. Приложение будет закрыто.</translation>
    </message>
</context>
<context>
    <name>hiddfu_worker</name>
    <message>
        <source>Unknown command %1</source><translation>Неизвестная команда %1</translation>
    </message>
    <message>
        <source>Cannot read from file: %1</source><translation>Не удаётся прочитать файл: %1</translation>
    </message>
    <message>
        <source>Erasing</source><translation>Стирание</translation>
    </message>
    <message>
        <source>Transport unexpectedly closed</source><translation>Соединение неожиданно закрыто</translation>
    </message>
    <message>
        <source>The device did not confirm the end of the flash</source><translation>Устройство не подтвердило завершение записи</translation>
    </message>
    <message>
        <source>Device is not reponsing!</source><translation>Устройство не отвечает!</translation>
    </message>
    <message>
        <source>Invalid response</source><translation>Неверный ответ</translation>
    </message>
    <message>
        <source>Transport error: %1</source><translation>Ошибка транспорта: %1</translation>
    </message>
    <message>
        <source>Flashed</source><translation>Записано</translation>
    </message>
    <message>
        <source>Invalid &apos;SET_ADDR&apos; reply</source><translation>Неверный ответ 'SET_ADDR'</translation>
    </message>
    <message>
        <source>Flashing</source><translation>Запись</translation>
    </message>
    <message>
        <source>Finalizing</source><translation>Завершение</translation>
    </message>
    <message>
        <source>Invalid ERROR reply</source><translation>Неверный ответ ERROR</translation>
    </message>
    <message>
        <source>Device error %1 at command %2</source><translation>Ошибка устройства %1 при команде %2</translation>
    </message>
    <message>
        <source>Invalid &apos;EXEC&apos; reply</source><translation>Неверный ответ 'EXEC'</translation>
    </message>
    <message>
        <source>DFU device discovered</source><translation>Обнаружено устройство DFU</translation>
    </message>
    <message>
        <source>Invalid &apos;STATUS&apos; reply</source><translation>Неверный ответ 'STATUS'</translation>
    </message>
    <message>
        <source>The device did not recover from a lost write reply</source><translation>Устройство не восстановилось после потерянного ответа на запись</translation>
    </message>
</context>
</TS>
