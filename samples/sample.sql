-- The sample database: a small parts business with suppliers, the parts they make,
-- customer orders and their lines. Text is in several scripts, prices are CURRENCY,
-- dates DATETIME, each part has a MEMO description and a LONGBINARY drawing.

CREATE TABLE suppliers (
    id INTEGER PRIMARY KEY,
    name TEXT(60) NOT NULL,
    city TEXT(40),
    country TEXT(40),
    since DATETIME
);

INSERT INTO suppliers (id, name, city, country, since) VALUES
    (1, 'Acme Fasteners', 'Leeds', 'United Kingdom', '2015-03-02 00:00:00'),
    (2, 'Société Générale de Boulons', 'Lyon', 'France', '2017-09-14 00:00:00'),
    (3, 'Müller & Söhne', 'Düsseldorf', 'Germany', '2012-01-23 00:00:00'),
    (4, 'Bjørnstad Stål', 'Tromsø', 'Norway', '2019-06-30 00:00:00'),
    (5, '東京精密工業', '東京', '日本', '2020-11-05 00:00:00'),
    (6, 'O''Brien Bearings', 'Cork', 'Ireland', '2018-04-17 00:00:00'),
    (7, 'Núñez Hermanos', 'Sevilla', 'España', NULL),
    (8, 'Kowalski Narzędzia', 'Łódź', 'Polska', '2021-02-08 00:00:00');

CREATE TABLE parts (
    id INTEGER PRIMARY KEY,
    name TEXT(60) NOT NULL,
    supplier_id INTEGER REFERENCES suppliers(id),
    price CURRENCY,
    weight_kg DOUBLE,
    in_stock YESNO,
    added DATETIME,
    description MEMO,
    drawing LONGBINARY
);

INSERT INTO parts (id, name, supplier_id, price, weight_kg, in_stock, added, description) VALUES
    (1, 'hex bolt M6', 1, 0.25, 0.012, 1, '2023-01-10 09:00:00', 'Zinc-plated hex bolt, 30 mm.'),
    (2, 'hex nut M6', 1, 0.1, 0.004, 1, '2023-01-10 09:05:00', 'Zinc-plated hex nut.'),
    (3, 'washer M6', 1, 0.05, 0.001, 0, '2023-01-11 14:30:00', NULL),
    (4, 'écrou à oreilles', 2, 0.85, 0.006, 1, '2023-02-01 10:00:00', 'Écrou papillon en acier inoxydable, qualité A2.'),
    (5, 'boulon carré', 2, 1.2, 0.02, 1, '2023-02-01 10:10:00', 'Boulon à tête carrée.'),
    (6, 'Gewindestange M10', 3, 4.75, 0.62, 1, '2023-03-15 08:00:00', 'Gewindestange, 1 m, verzinkt. Für Dübel und Anker geeignet.'),
    (7, 'Kugellager 6204', 3, 12.5, 0.11, 1, '2023-03-15 08:15:00', 'Rillenkugellager, beidseitig abgedichtet, für hohe Drehzahlen.'),
    (8, 'Zahnrad Z40', 3, 38.9, 0.45, 0, '2023-04-02 12:00:00', 'Stirnrad aus Stahl, Modul 1,5, 40 Zähne.'),
    (9, 'stålbjelke 2 m', 4, 89.0, 24.5, 1, '2023-05-20 07:45:00', 'Varmforsinket stålbjelke for kystklima i Tromsø.'),
    (10, 'ankerbolt', 4, 2.35, 0.15, 1, '2023-05-20 07:50:00', 'Ankerbolt for betong, sertifisert for bruk på brygger og kaier.'),
    (11, '精密ねじ M2', 5, 0.45, 0.0005, 1, '2023-06-01 03:00:00', '漢字の説明：ステンレス製の精密ねじ。'),
    (12, 'リニアガイド 300mm', 5, 145.0, 1.8, 1, '2023-06-01 03:10:00', '高精度リニアガイド。予圧調整済み。'),
    (13, 'ball bearing 608', 6, 3.4, 0.012, 1, '2023-07-07 11:00:00', 'Skate-size bearing, "deep groove", shielded.'),
    (14, 'roller bearing 32008', 6, 27.8, 0.39, 1, '2023-07-07 11:20:00', 'Tapered roller bearing.'),
    (15, 'tornillo de cabeza avellanada', 7, 0.3, 0.003, 1, '2023-08-18 16:00:00', 'Tornillo de acero con cabeza avellanada, ideal para la carpintería de Núñez.'),
    (16, 'bisagra de latón', 7, 6.15, 0.08, 0, '2023-08-18 16:10:00', NULL),
    (17, 'klucz płaski 13', 8, 9.99, 0.1, 1, '2023-09-09 09:09:00', 'Klucz płaski, stal chromowo-wanadowa.'),
    (18, 'zestaw kluczy', 8, 64.5, 2.2, 1, '2023-09-09 09:30:00', 'Zestaw 12 kluczy w walizce.'),
    (19, 'spring washer M8', 1, 0.08, 0.002, 1, '2023-10-01 10:00:00', 'Split lock washer.'),
    (20, 'shaft coupling', 6, 18.25, 0.3, 1, '2023-10-12 13:00:00', 'Flexible jaw coupling, 8 mm to 10 mm bore.'),
    (21, 'Sicherungsring', 3, 0.12, 0.001, 1, '2023-11-03 08:30:00', 'Sicherungsring für Wellen, DIN 471.'),
    (22, 'goupille fendue', 2, 0.02, 0.0004, 1, '2023-11-20 15:00:00', 'Goupille fendue, acier zingué.'),
    (23, 'gear motor 24 V', 5, 210.0, 2.9, 0, '2024-01-15 09:00:00', 'ギアモーター 24 V DC, 60 rpm.'),
    (24, 'cable gland PG9', 4, 0.95, 0.01, 1, '2024-02-29 12:00:00', 'Nylon cable gland, IP68.');

-- A long description for one part and drawings for all: a small header, and for the motor
-- a large one, so that both a short and a long binary value are there to look at.
UPDATE parts SET description = description || ' ' ||
    (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 60)
     SELECT group_concat('Line ' || i || ' of the maintenance notes: check the gear oil and the seals.', char(10)) FROM n)
    WHERE id = 23;
UPDATE parts SET drawing = CAST(X'89504E470D0A1A0A0000000D49484452' || zeroblob(id * 16) AS BLOB);
UPDATE parts SET drawing = CAST(X'89504E470D0A1A0A' || zeroblob(25000) AS BLOB) WHERE id = 23;

CREATE TABLE orders (
    id INTEGER PRIMARY KEY,
    customer TEXT(60) NOT NULL,
    ordered DATETIME NOT NULL,
    shipped DATETIME,
    note MEMO
);

INSERT INTO orders (id, customer, ordered, shipped, note)
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 100)
SELECT i,
       CASE i % 7
           WHEN 0 THEN 'Hansen Bygg AS'
           WHEN 1 THEN 'Café Lumière'
           WHEN 2 THEN 'Grüner Maschinenbau GmbH'
           WHEN 3 THEN 'North Sea Rigs Ltd'
           WHEN 4 THEN '大阪機械株式会社'
           WHEN 5 THEN 'Taller Peña'
           ELSE 'Smith & Sons'
       END,
       datetime('2024-01-02 08:00:00', '+' || (i * 3) || ' days', '+' || (i * 37 % 600) || ' minutes'),
       CASE WHEN i % 9 = 0 THEN NULL
            ELSE datetime('2024-01-02 08:00:00', '+' || (i * 3 + 2 + i % 4) || ' days') END,
       CASE WHEN i % 10 = 0 THEN 'Deliver to the back door; ask for "Øyvind".' ELSE NULL END
FROM n;

CREATE TABLE order_lines (
    order_id INTEGER NOT NULL REFERENCES orders(id),
    line INTEGER NOT NULL,
    part_id INTEGER NOT NULL REFERENCES parts(id),
    quantity INTEGER NOT NULL,
    unit_price CURRENCY NOT NULL,
    PRIMARY KEY (order_id, line)
);

INSERT INTO order_lines (order_id, line, part_id, quantity, unit_price)
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 249)
SELECT 1 + i / 5 * 2 + (i % 5) / 3, 1 + i % 5 % 3, 1 + (i * 7) % 24, 1 + (i * 13) % 50, 0
FROM n;
UPDATE order_lines SET unit_price = (SELECT price FROM parts WHERE parts.id = order_lines.part_id);

CREATE INDEX parts_by_supplier ON parts (supplier_id);
CREATE INDEX orders_by_customer ON orders (customer);
CREATE INDEX lines_by_part ON order_lines (part_id);

-- Notes on parts, numbered from 100 in steps of 5 by the engine.
CREATE TABLE part_notes (
    id COUNTER(100, 5),
    part_id INTEGER NOT NULL REFERENCES parts(id),
    note TEXT(120) NOT NULL,
    written DATETIME DEFAULT Now()
);

INSERT INTO part_notes (part_id, note, written) VALUES (1, 'Zinc plating checked: OK.', #3/1/2024 9:30#);
INSERT INTO part_notes (part_id, note, written) VALUES (4, 'Qualité conforme, lot 2024-11.', #2024-03-04 14:00#);
INSERT INTO part_notes (part_id, note) VALUES (7, 'Nachbestellen, wenn weniger als 50 auf Lager.');
